"""nginx serving one of the bench's update sites over TLS on loopback, with the test authority's
certificate for localhost."""

import grp
import os
import pwd
import socket
import subprocess
import time
from pathlib import Path

# Paths quoted: a checkout's path may hold a space.
CONFIG = """\
{user}worker_processes 1;
daemon off;
pid "{state}/nginx.pid";
error_log "{state}/error.log" warn;
events {{ worker_connections 64; }}
http {{
    access_log "{state}/access.log";
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    keepalive_timeout 120s;
    types {{ }}
    default_type application/octet-stream;
    client_body_temp_path "{state}/tmp";
    proxy_temp_path "{state}/tmp";
    fastcgi_temp_path "{state}/tmp";
    uwsgi_temp_path "{state}/tmp";
    scgi_temp_path "{state}/tmp";
    server {{
        listen 127.0.0.1:{port} ssl;
        server_name localhost;
        ssl_certificate "{certs}/server.pem";
        ssl_certificate_key "{certs}/server.key";
        root "{state}/current";
        location /launcher/ {{ try_files $uri =404; }}
    }}
}}
"""


def worker_user():
    """Started by root, nginx would run its workers as nobody, who may not enter the folder of the
    checkout (a private one, such as root's home); they run as the invoking user instead."""
    if os.geteuid() != 0:
        return ""  # the workers are the invoking user anyway
    return f"user {pwd.getpwuid(os.geteuid()).pw_name} {grp.getgrgid(os.getegid()).gr_name};\n"


class Nginx:
    def __init__(self, state, port, certs):
        self.state = Path(state)
        self.port = port
        (self.state / "tmp").mkdir(parents=True, exist_ok=True)
        self.config = self.state / "nginx.conf"
        self.config.write_text(CONFIG.format(user=worker_user(), state=self.state, port=port, certs=Path(certs)))
        self.current = self.state / "current"
        self.process = None

    def serve(self, site):
        """Switches what the server answers, at once: the root is a link."""
        link = self.state / "current.new"
        link.unlink(missing_ok=True)
        link.symlink_to(Path(site).resolve())
        link.replace(self.current)

    def start(self):
        log = open(self.state / "nginx.out", "ab")
        self.process = subprocess.Popen(["nginx", "-c", str(self.config), "-p", str(self.state)],
                                        stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
        deadline = time.monotonic() + 10
        while True:
            if self.process.poll() is not None:
                raise RuntimeError("nginx exited: " + (self.state / "nginx.out").read_text())
            if self._accepting():
                return
            if time.monotonic() > deadline:
                raise RuntimeError("nginx is not accepting connections")
            time.sleep(0.05)

    def last_requests(self, count=10):
        """The last requests the server answered, for an error that says why a case did not start."""
        log = self.state / "access.log"
        lines = log.read_text(errors="replace").splitlines() if log.exists() else []
        return lines[-count:] or ["(no request at all)"]

    def _accepting(self):
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", self.port)) == 0

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
