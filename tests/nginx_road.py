#!/usr/bin/env python3
"""Runs one command while Debian's nginx serves a web root on the update
server's loopback address, as a real deployment's static server would.

    nginx_road.py --dir DIR --host H --port P --standin-root ROOT -- COMMAND...

The module's update-server address is fixed at build time and the stand-in
server (tools/updateserver) normally listens there. For the length of the
command the stand-in steps aside (its refuse switch, ROOT/.refuse, makes it
close its listening socket) and nginx takes the port; afterwards nginx stops
and the stand-in listens again. The caller holds the stand-in's resource lock
(updateserver_files), so no other suite talks to the port meanwhile.

nginx runs in the foreground, as this user, with a configuration generated
under DIR: web root DIR/webroot (the command publishes into it), access log
DIR/access.log, error log DIR/error.log, .php files served as text. Exits
with the command's status, or 1 when nginx cannot be started.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import time


def accepts(host, port):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def config(args, folder):
    temp = os.path.join(folder, "temp")
    lines = [
        "daemon off;",
        "master_process on;",
        "worker_processes 1;",
        "pid %s;" % os.path.join(folder, "nginx.pid"),
        "error_log %s info;" % os.path.join(folder, "error.log"),
    ]
    if os.geteuid() == 0:
        lines.append("user root;")  # workers must read the build folder
    lines += [
        "events { worker_connections 64; }",
        "http {",
        "    access_log %s;" % os.path.join(folder, "access.log"),
        "    client_body_temp_path %s/body;" % temp,
        "    proxy_temp_path %s/proxy;" % temp,
        "    fastcgi_temp_path %s/fastcgi;" % temp,
        "    uwsgi_temp_path %s/uwsgi;" % temp,
        "    scgi_temp_path %s/scgi;" % temp,
        "    types {",
        "        text/plain txt ini php;",
        "        application/octet-stream zip sig;",
        "        image/x-icon ico;",
        "    }",
        "    default_type application/octet-stream;",
        "    server {",
        "        listen %s:%d;" % (args.host, args.port),
        "        root %s;" % os.path.join(folder, "webroot"),
        "        location / { }",
        "    }",
        "}",
    ]
    os.makedirs(temp, exist_ok=True)
    path = os.path.join(folder, "nginx.conf")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--standin-root", required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    folder = os.path.abspath(args.dir)
    os.makedirs(os.path.join(folder, "webroot"), exist_ok=True)
    for log in ("access.log", "error.log"):
        if os.path.exists(os.path.join(folder, log)):
            os.remove(os.path.join(folder, log))

    switch = os.path.join(args.standin_root, ".refuse")
    standin = os.path.isdir(args.standin_root)
    if standin:
        open(switch, "w").close()
    server = None
    try:
        if not wait_for(lambda: not accepts(args.host, args.port), 10):
            print("nginx_road: port %d stays taken" % args.port, file=sys.stderr)
            return 1
        server = subprocess.Popen([nginx, "-p", folder, "-c", config(args, folder), "-e",
                                   os.path.join(folder, "error.log")],
                                  stdin=subprocess.DEVNULL, start_new_session=True)
        if not wait_for(lambda: accepts(args.host, args.port) or server.poll() is not None, 20) \
                or server.poll() is not None:
            print("nginx_road: nginx did not start; see %s" % os.path.join(folder, "error.log"),
                  file=sys.stderr)
            return 1
        return subprocess.call(command)
    finally:
        if server and server.poll() is None:
            server.send_signal(signal.SIGQUIT)  # graceful: finish the replies, then exit
            try:
                server.wait(10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        if standin:
            os.remove(switch)
            wait_for(lambda: accepts(args.host, args.port), 10)


if __name__ == "__main__":
    sys.exit(main())
