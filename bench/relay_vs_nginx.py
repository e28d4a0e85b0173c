#!/usr/bin/env python3
"""Side by side: chat relay overhead of Klarion vs nginx (proxy_buffering off), same fake LM Studio.

Usage (needs Debian's nginx-light): bench/relay_vs_nginx.py BUILD_DIR [--n 600] [--pieces 20]
Starts the project's fake-lmstudio and klarion-test-server from BUILD_DIR, and an nginx proxy, all
on loopback; interleaves N requests to each of: fake direct, nginx -> fake, klarion /api/chat -> fake.
The direct and nginx requests are the one Klarion sends LM Studio for the same message (system
prompt, parameters, the loaded model), read back from the fake: all three paths ask the fake for the
same work and receive the same streamed answer. Prints medians/p99 of time to the first event and to
the end of the body, each proxy's overhead over the direct path, and what each path received.
"""
import json, socket, sys, time, statistics, argparse

from side_by_side import Programs

ap = argparse.ArgumentParser()
ap.add_argument('build')
ap.add_argument('--n', type=int, default=600)
ap.add_argument('--pieces', type=int, default=20)
a = ap.parse_args()
programs = Programs()

def http(port, raw, timeout=10):
    s = socket.create_connection(('127.0.0.1', port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    t0 = time.perf_counter()
    s.sendall(raw)
    first = None
    data = b''
    while True:
        b = s.recv(65536)
        if not b:
            break
        data += b
        if first is None and b'data:' in data:
            first = time.perf_counter()  # first event byte, not the response head
    end = time.perf_counter()
    s.close()
    if first is None: first = end
    return (first - t0) * 1000, (end - t0) * 1000, data

def post(path, body, port):
    b = json.dumps(body).encode()
    return (f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(b)}\r\nConnection: close\r\n\r\n").encode() + b

try:
    fport, cport, kport = programs.fake_and_klarion(a.build)
    pieces = [f"mot{i} " for i in range(a.pieces)]
    ctl = post('/control/reply', {"pieces": pieces}, cport)
    http(cport, ctl)
    nport = programs.nginx(f"location / {{ proxy_pass http://127.0.0.1:{fport}; proxy_buffering off; "
                           "proxy_http_version 1.1; }")
    # The direct and nginx paths send LM Studio the very request Klarion sends it (system prompt,
    # parameters, the loaded model), so that the fake does the same work and streams the same
    # answer on all three paths.
    http(kport, post('/api/chat', {"userMessage": "Bonjour", "history": []}, kport))
    recorded = http(cport, f"GET /control/requests HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n".encode())[2]
    chat = json.loads(json.loads(recorded.split(b'\r\n\r\n', 1)[1])[-1]['body'])
    targets = {
        'direct': (fport, post('/v1/chat/completions', chat, fport)),
        'nginx': (nport, post('/v1/chat/completions', chat, nport)),
        'klarion': (kport, post('/api/chat', {"userMessage": "Bonjour", "history": []}, kport)),
    }
    res = {k: ([], []) for k in targets}
    bodies = {}
    for k, (port, raw) in targets.items():  # warm up
        for _ in range(20):
            f, e, d = http(port, raw)
        bodies[k] = d
    for i in range(a.n):
        for k, (port, raw) in targets.items():
            f, e, d = http(port, raw)
            res[k][0].append(f); res[k][1].append(e)
    def q(v, p):
        v = sorted(v); return v[min(len(v) - 1, int(p * len(v)))]
    print(f"{a.n} chats each, {a.pieces} pieces, interleaved; ms; first = first event (data:) received")
    for k in targets:
        f, e = res[k]
        print(f"{k:8s} first byte median {q(f,.5):.3f} p99 {q(f,.99):.3f} | end median {q(e,.5):.3f} p99 {q(e,.99):.3f}")
    def over(k, i, p):
        return q(res[k][i], p) - q(res['direct'][i], p)
    for i, name in ((0, 'first byte'), (1, 'end')):
        kn, nn = over('klarion', i, .5), over('nginx', i, .5)
        kp, np_ = over('klarion', i, .99), over('nginx', i, .99)
        print(f"overhead {name}: klarion median {kn:.3f} p99 {kp:.3f}; nginx median {nn:.3f} p99 {np_:.3f}; ratio klarion/nginx median {kn/nn if nn>0 else float('nan'):.2f}")
    # byte check: klarion relays the fake's event bytes
    for k in targets:
        kb = bodies[k].split(b'\r\n\r\n', 1)[1]
        print(f"{k} body: {len(kb)} bytes, {kb.count(b'data:')} events, starts", kb[:40])
finally:
    programs.stop()
