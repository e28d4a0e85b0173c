#!/usr/bin/env python3
"""Side by side: small keep-alive requests per second, Klarion against nginx serving the same body.

Usage (needs Debian's nginx-light and wrk): bench/throughput_vs_nginx.py BUILD_DIR
    [--seconds 5] [--connections 64] [--threads 4] [--rounds 2]
Starts the project's fake-lmstudio and klarion-test-server from BUILD_DIR, and nginx with 1, 4
and 8 workers answering GET "/api/config" with the very body Klarion answers (as a static file),
all on loopback. Each round runs wrk against each of them in turn (every request says
"Connection: keep-alive": Klarion keeps a connection open only then) and prints requests per
second and the latency percentiles wrk reports.
"""
import argparse, os, re, shutil, subprocess, urllib.request

from side_by_side import Programs

ap = argparse.ArgumentParser()
ap.add_argument('build')
ap.add_argument('--seconds', type=int, default=5)
ap.add_argument('--connections', type=int, default=64)
ap.add_argument('--threads', type=int, default=4)
ap.add_argument('--rounds', type=int, default=2)
a = ap.parse_args()
if shutil.which('wrk') is None:
    raise SystemExit("wrk is needed: apt-get install wrk")


def get(port):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # loopback: never a proxy
    with opener.open(f"http://127.0.0.1:{port}/api/config", timeout=10) as reply:
        return reply.read()


def wrk(port):
    """wrk's requests per second and its latency percentiles (ms) for GET /api/config on port."""
    out = subprocess.run(['wrk', f'-t{a.threads}', f'-c{a.connections}', f'-d{a.seconds}s', '--latency',
                          '-H', 'Connection: keep-alive', f'http://127.0.0.1:{port}/api/config'],
                         capture_output=True, text=True, check=True).stdout
    units = {'us': 0.001, 'ms': 1.0, 's': 1000.0}
    latency = {p: float(v) * units[u] for p, v, u in re.findall(r'^\s+(50|90|99)%\s+([\d.]+)(us|ms|s)\s*$', out, re.M)}
    errors = re.search(r'Non-2xx or 3xx responses: (\d+)|Socket errors: .*', out)
    return float(re.search(r'Requests/sec:\s+([\d.]+)', out).group(1)), latency, errors.group(0) if errors else ''


programs = Programs()
try:
    _, _, kport = programs.fake_and_klarion(a.build)
    body = get(kport)
    scratch = programs.folder('klr-body-')
    with open(f"{scratch}/config.json", 'wb') as f:
        f.write(body)
    os.chmod(scratch, 0o755)  # nginx's workers run as another user when started by root
    os.chmod(f"{scratch}/config.json", 0o644)
    targets = {'klarion': kport}
    for workers in (1, 4, 8):
        targets[f'nginx {workers} worker{"s" if workers > 1 else ""}'] = programs.nginx(
            f'location = /api/config {{ default_type application/json; alias {scratch}/config.json; }}', workers)
    for name, port in targets.items():
        if get(port) != body:
            raise SystemExit(f"{name} does not answer Klarion's body")
    print(f'GET "/api/config" ({len(body)} bytes), keep-alive, wrk {a.threads} threads, {a.connections} connections, '
          f'{a.seconds} s each')
    for round in range(1, a.rounds + 1):
        for name, port in targets.items():
            rate, latency, errors = wrk(port)
            print(f"round {round} {name:16s} {rate:12,.0f} requests/s  latency p50 {latency.get('50', 0):.2f} "
                  f"p90 {latency.get('90', 0):.2f} p99 {latency.get('99', 0):.2f} ms {errors}")
finally:
    programs.stop()
