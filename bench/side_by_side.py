"""What the side-by-side scripts of this folder share: the project's fake LM Studio, the test
server and nginx started on loopback (each on a free port, with a scratch home and folder), and
all of them stopped at the end."""
import os, re, shutil, signal, socket, subprocess, tempfile, time


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Programs:
    """Programs started for one run; stop() ends them (SIGTERM, then SIGKILL after 5 s) and
    removes the scratch folders."""

    def __init__(self):
        self.procs = []
        self.folders = []

    def folder(self, prefix):
        path = tempfile.mkdtemp(prefix=prefix)
        self.folders.append(path)
        return path

    def start(self, cmd, pattern, env=None, n=1):
        """Starts cmd and returns its process and the first n numbers its output gives in pattern's group."""
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        self.procs.append(p)
        found = []
        deadline = time.time() + 60
        while len(found) < n and time.time() < deadline:
            line = p.stdout.readline()
            if not line:
                break
            m = re.search(pattern, line)
            if m:
                found.append(int(m.group(1)))
        if len(found) < n:
            raise SystemExit(f"could not start {cmd[0]}")
        return p, found

    def fake_and_klarion(self, build):
        """The fake LM Studio and klarion-test-server beside it: (fake port, fake control port, Klarion's port)."""
        _, (fport, cport) = self.start([f"{build}/tests/support/fake-lmstudio"], r'(?:listening|control) on (\d+)', n=2)
        home = self.folder('klr-bench-')
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + '/.config', XDG_DATA_HOME=home + '/.local/share')
        _, (kport,) = self.start([f"{build}/tests/support/klarion-test-server", "--port", "0", "--lmstudio",
                                  f"http://127.0.0.1:{fport}"], r'listening on (\d+)', env=env)
        return fport, cport, kport

    def nginx(self, server_block, workers=1):
        """Starts nginx with `workers` workers and one server whose body is server_block; returns its
        port once it accepts connections."""
        if shutil.which('nginx') is None:
            raise SystemExit("nginx is needed: apt-get install nginx-light")
        ng = self.folder('klr-nginx-')
        port = free_port()
        conf = f"""worker_processes {workers}; daemon off; pid {ng}/nginx.pid; error_log {ng}/error.log;
events {{ worker_connections 4096; }}
http {{ access_log off; keepalive_requests 1000000; client_body_temp_path {ng}; proxy_temp_path {ng};
  server {{ listen 127.0.0.1:{port}; {server_block} }} }}"""
        with open(f"{ng}/nginx.conf", 'w') as f:
            f.write(conf)
        self.procs.append(subprocess.Popen(['nginx', '-c', f'{ng}/nginx.conf', '-p', ng],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(('127.0.0.1', port), timeout=1).close()
                return port
            except OSError:
                time.sleep(0.05)
        raise SystemExit(f"nginx did not start (see {ng}/error.log)")

    def stop(self):
        for p in self.procs:
            try:
                p.send_signal(signal.SIGTERM)
                p.wait(timeout=5)
            except Exception:
                p.kill()
        for path in self.folders:
            shutil.rmtree(path, ignore_errors=True)
