#!/usr/bin/env python3
"""Runs one command while an https update server listens on a loopback port,
set up one way or another as the command asks.

    https_road.py --dir DIR --port P --backend B -- COMMAND...

Before the command starts, DIR/certs holds a throwaway test CA and the
server certificates it needs (made once with openssl; nothing here is ever
trusted outside the test prefix, where the command itself adds ca.der to the
machine's Root store):
  ca.pem ca.der        the test CA
  localhost.pem/.key   issued by the CA for localhost
  other.pem/.key       issued by the CA for another name (elsewhere.invalid)
  self.pem/.key        for localhost, signed by itself

The command picks the server by writing a mode to DIR/want; once the server
runs that way DIR/have holds the same word. Modes:
  trusted      Debian's nginx over TLS with localhost.pem, passing every
               request on to the update server stand-in on 127.0.0.1:B
  self-signed  the same with self.pem
  other-name   the same with other.pem
  plain        nginx on the port without TLS, passing requests on likewise
  silent       a socket that takes connections and never says a word
  redirect     nginx over TLS with localhost.pem, answering every request
               with a redirect to the same path on http://127.0.0.1:B
  off          nothing listens
nginx's access log is DIR/access.log (requests that came over TLS, in the
modes with TLS). Exits with the command's status, or 1 when the certificates
cannot be made.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

MODES = ("trusted", "self-signed", "other-name", "plain", "silent", "redirect", "off")


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def make_certificates(folder):
    path = lambda name: os.path.join(folder, name)
    if os.path.exists(path("ca.der")):
        return
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
            "-keyout", path("ca.key"), "-out", path("ca.pem"), "-subj", "/CN=Zarn test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for name, host in (("localhost", "localhost"), ("other", "elsewhere.invalid")):
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", path(name + ".key"),
                "-out", path(name + ".csr"), "-subj", "/CN=" + host)
        with open(path(name + ".ext"), "w") as f:
            f.write("subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\n"
                    "keyUsage=critical,digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\n" % host)
        openssl("x509", "-req", "-in", path(name + ".csr"), "-CA", path("ca.pem"),
                "-CAkey", path("ca.key"), "-CAcreateserial", "-days", "825",
                "-extfile", path(name + ".ext"), "-out", path(name + ".pem"))
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "825",
            "-keyout", path("self.key"), "-out", path("self.pem"), "-subj", "/CN=localhost",
            "-addext", "subjectAltName=DNS:localhost")
    # Last: its presence says the set is complete.
    openssl("x509", "-in", path("ca.pem"), "-outform", "DER", "-out", path("ca.der"))


def loopback_hosts():
    """127.0.0.1, and ::1 where the machine has it (localhost may name either)."""
    hosts = ["127.0.0.1"]
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        hosts.append("::1")
    except OSError:
        pass
    return hosts


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class Server:
    def __init__(self, folder, port, backend):
        self.folder = folder
        self.port = port
        self.backend = backend
        self.nginx = None
        self.sockets = []

    def nginx_config(self, mode):
        certs = os.path.join(self.folder, "certs")
        temp = os.path.join(self.folder, "temp")
        os.makedirs(temp, exist_ok=True)
        tls = mode != "plain"
        listen = ["        listen %s:%d%s;" % ("[%s]" % h if ":" in h else h, self.port,
                                               " ssl" if tls else "")
                  for h in loopback_hosts()]
        if tls:
            cert = {"trusted": "localhost", "redirect": "localhost", "self-signed": "self",
                    "other-name": "other"}[mode]
            listen += ["        ssl_certificate %s;" % os.path.join(certs, cert + ".pem"),
                       "        ssl_certificate_key %s;" % os.path.join(certs, cert + ".key")]
        if mode == "redirect":
            location = "return 302 http://127.0.0.1:%d$request_uri;" % self.backend
        else:
            location = "proxy_pass http://127.0.0.1:%d;" % self.backend
        lines = [
            "daemon off;",
            "master_process on;",
            "worker_processes 1;",
            "pid %s;" % os.path.join(self.folder, "nginx.pid"),
            "error_log %s info;" % os.path.join(self.folder, "error.log"),
        ]
        if os.geteuid() == 0:
            lines.append("user root;")  # workers must read the build folder
        lines += [
            "events { worker_connections 64; }",
            "http {",
            "    access_log %s;" % os.path.join(self.folder, "access.log"),
            "    client_body_temp_path %s/body;" % temp,
            "    proxy_temp_path %s/proxy;" % temp,
            "    fastcgi_temp_path %s/fastcgi;" % temp,
            "    uwsgi_temp_path %s/uwsgi;" % temp,
            "    scgi_temp_path %s/scgi;" % temp,
            "    server {",
            *listen,
            "        location / { %s }" % location,
            "    }",
            "}",
        ]
        path = os.path.join(self.folder, "nginx.conf")
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        return path

    def stop(self):
        if self.nginx and self.nginx.poll() is None:
            self.nginx.send_signal(signal.SIGTERM)  # fast: a silent client must not hold it
            try:
                self.nginx.wait(10)
            except subprocess.TimeoutExpired:
                self.nginx.kill()
                self.nginx.wait()
        self.nginx = None
        for s in self.sockets:
            s.close()
        self.sockets = []
        return wait_for(lambda: not accepts(self.port), 10)

    def start(self, mode):
        if mode == "off":
            return True
        if mode == "silent":
            for host in loopback_hosts():
                s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                s.bind((host, self.port))
                s.listen(64)  # connections wait in the backlog, never taken
                self.sockets.append(s)
            return True
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        log = os.path.join(self.folder, "error.log")
        self.nginx = subprocess.Popen([nginx, "-p", self.folder, "-c", self.nginx_config(mode),
                                       "-e", log], stdin=subprocess.DEVNULL,
                                      start_new_session=True)
        return wait_for(lambda: accepts(self.port) or self.nginx.poll() is not None, 20) \
            and self.nginx.poll() is None

    def switch(self, mode):
        self.stop()
        if mode not in MODES or not self.start(mode):
            print("https_road: mode %r did not start; see %s" %
                  (mode, os.path.join(self.folder, "error.log")), file=sys.stderr)
            return False
        return True


def read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--backend", type=int, required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    folder = os.path.abspath(args.dir)
    try:
        make_certificates(os.path.join(folder, "certs"))
    except subprocess.CalledProcessError as e:
        print("https_road: openssl failed: %s" % e.stderr.decode(errors="replace"),
              file=sys.stderr)
        return 1
    want, have = os.path.join(folder, "want"), os.path.join(folder, "have")
    for name in (want, have, os.path.join(folder, "access.log")):
        if os.path.exists(name):
            os.remove(name)

    server = Server(folder, args.port, args.backend)
    child = subprocess.Popen(command)
    mode = None
    try:
        while child.poll() is None:
            wanted = read(want)
            if wanted and wanted != mode:
                mode = wanted
                if server.switch(mode):
                    with open(have + ".tmp", "w") as f:
                        f.write(mode)
                    os.replace(have + ".tmp", have)
            time.sleep(0.05)
        return child.returncode
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
