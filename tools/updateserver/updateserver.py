#!/usr/bin/env python3
"""Stand-in for the update server, for the tests and the demo (standard library only).

Serves a web root at /append/application/ on a loopback port and records every
request. It never needs a network.

Commands
  serve --root DIR --log DIR [--host H] [--port P]   run in the foreground
  start --root DIR --log DIR --pidfile F [--host H] [--port P]
        empty DIR and the log folder, start `serve` in the background, return
        once the port accepts connections (the CTest fixture's set-up)
  stop --pidfile F                                   end a server started by `start`

What it answers
  GET /append/application/<name>          the file <root>/<name> (404 page if missing),
                                          as text/html or text/javascript when
                                          its name ends in .html or .js
  GET /append/application/GetInstallFileSize.php
                                          the byte count of <root>/install.zip in
                                          decimal digits, nothing else (404 if missing)
  GET /append/application/install_statistic.php?a=<word>
                                          "OK"
  anything else                           a 404 page
  A query string never changes which file is served, so a test can tag its
  requests (?t=<tag>) and find them in the log. Every reply carries
  Connection: close.

Request log (in the --log folder)
  <seq>.req     the raw bytes received: request line and header block, up to and
                including the empty line that ends it
  <seq>.body    bytes that followed the header block (only when there were any)
  index.txt     one line per request: "<seq>\t<method>\t<target>"; <seq> is six
                digits, counting from 000001. Written after <seq>.req.

Faults: a file <root>/<name>.fault selects how requests for <name> are answered
(also for GetInstallFileSize.php and install_statistic.php). Each line is one
directive; the n-th request for <name> after the fault file was written uses
line n, and the last line applies to every later request. Directives:
  ok                 answer normally
  status <code> [<text>]  an HTML error page with that status (404, 500, ...);
                     with a text, that text (C escapes, as for reply) in place
                     of the page: an error reply whose body reads like the file
  reset              close the connection without answering
  no-length          send the body without Content-Length, then close
  cut <bytes>        announce the whole body, send <bytes> of it, then close
  slow <bytes> <ms>  send the body in pieces of <bytes>, <ms> apart
  short-length <n>   announce Content-Length <n> but send the whole body
                     (chunked, so the client reads all of it)
  reply <text>       answer with <text> instead (C escapes: \\r \\n \\t \\\\ \\xHH)
  delay <ms>         wait before answering, then answer normally
  silent [<s>]       read the request and send nothing; hold the connection open
                     until the client closes it (at most <s> seconds, default 600)
  drip [<ms> [<s> [<length>]]]  headers announcing a large body (<length> bytes,
                     default 100,000,000), then one byte every <ms> (default 5000)
                     until the client closes (at most <s> seconds, default 300)
  slow-headers [<ms>]  the header block one byte every <ms> (default 1000), then the
                     body at once
  huge [<bytes>] [no-length]  a body of <bytes> (default 16 MiB) of ASCII digits in
                     place of the file or reply, with its Content-Length unless
                     no-length is given
  reset-mid-body     announce the whole body, send half of it, then reset the
                     connection (TCP RST)
Refused connections: while a file <root>/.refuse exists the server stops
listening, so every connection to its port is refused (<root>/.refusing exists
while it does; within 0.2 s of the file
appearing or going); requests already accepted are still answered. This affects
every client of the server: suites using it take RESOURCE_LOCK updateserver_files.

Release jobs (in <log>/jobs): the suites sign the releases they publish with
openssl, run here on their behalf, so that no Windows test process has to
start a Linux program itself. A client writes <id>.in (the input bytes), then
renames a one-line <id>.job into place:
  sha256             <id>.out gets the lowercase hex SHA-256 of the input
  sign <key.pem>     <id>.out gets the DER ECDSA signature over SHA-256 of the
                     input, as `openssl dgst -sha256 -sign` makes it
  genkey <key.pem>   a new EC P-256 private key is written to <key.pem>
                     (unless it exists); <id>.out is empty
On failure <id>.err holds the reason. Both appear by rename, so a client that
sees one sees all of it. Jobs are looked at every 20 ms.
"""

import argparse
import hashlib
import os
import shutil
import signal
import socket
import socketserver
import subprocess
import sys
import threading
import time

PREFIX = "/append/application/"
PAGE_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
              # The program's package, which the pages link to.
              ".msi": "application/x-msi",
              # The Firefox extension and its update list, for installs outside the store.
              ".xpi": "application/x-xpinstall", ".json": "application/json"}
MAX_HEADER_BYTES = 64 * 1024


class RequestLog:
    def __init__(self, folder):
        self.folder = folder
        self.lock = threading.Lock()
        self.seq = 0

    def record(self, raw, body, method, target):
        with self.lock:
            self.seq += 1
            name = "%06d" % self.seq
            with open(os.path.join(self.folder, name + ".req"), "wb") as f:
                f.write(raw)
            if body:
                with open(os.path.join(self.folder, name + ".body"), "wb") as f:
                    f.write(body)
            with open(os.path.join(self.folder, "index.txt"), "a", encoding="utf-8") as f:
                f.write("%s\t%s\t%s\n" % (name, method, target))


class Faults:
    """Per-name request counters, restarted whenever the fault file changes."""

    def __init__(self, root):
        self.root = root
        self.lock = threading.Lock()
        self.seen = {}  # name -> (stamp, requests so far)

    def directive(self, name):
        path = os.path.join(self.root, name + ".fault")
        try:
            with open(path, "r", encoding="utf-8") as f:
                text = f.read()
            stat = os.stat(path)
        except OSError:
            return ["ok"]
        lines = [line.strip() for line in text.splitlines() if line.strip()] or ["ok"]
        stamp = (stat.st_mtime_ns, stat.st_size, text)
        with self.lock:
            old_stamp, count = self.seen.get(name, (None, 0))
            if old_stamp != stamp:
                count = 0
            self.seen[name] = (stamp, count + 1)
        words = lines[min(count, len(lines) - 1)].split(" ", 1)
        return [words[0]] + (words[1:] if len(words) > 1 else [])


def unescape(text):
    return text.encode("latin-1", "backslashreplace").decode("unicode_escape").encode("latin-1")


def error_page(code):
    reason = {404: "Not Found", 500: "Internal Server Error"}.get(code, "Error")
    body = ("<html><head><title>%d %s</title></head><body><h1>%d %s</h1></body></html>\n"
            % (code, reason, code, reason)).encode("ascii")
    return code, reason, body


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        sock.settimeout(30)
        raw = b""
        while True:
            end = raw.find(b"\r\n\r\n")
            if end >= 0:
                end += 4
                break
            end = raw.find(b"\n\n")
            if end >= 0:
                end += 2
                break
            if len(raw) > MAX_HEADER_BYTES:
                return
            try:
                data = sock.recv(65536)
            except OSError:
                return
            if not data:
                return
            raw += data
        head, body = raw[:end], raw[end:]
        lines = head.decode("latin-1").splitlines()
        parts = lines[0].split(" ") if lines else []
        if len(parts) != 3:
            return
        method, target, _ = parts
        length = 0
        for line in lines[1:]:
            key, _, value = line.partition(":")
            if key.strip().lower() == "content-length":
                try:
                    length = int(value.strip())
                except ValueError:
                    pass
        while len(body) < length:
            try:
                data = sock.recv(65536)
            except OSError:
                break
            if not data:
                break
            body += data
        self.server.log.record(head, body, method, target)
        self.answer(sock, method, target)

    def answer(self, sock, method, target):
        path = target.split("?", 1)[0]
        name = path[len(PREFIX):] if path.startswith(PREFIX) else None
        if not name or name.endswith(".fault") or ".." in name.split("/"):
            return self.send(sock, *error_page(404), ["ok"])
        fault = self.server.faults.directive(name)
        root = self.server.root
        if fault[0] == "reply":
            return self.send(sock, 200, "OK", unescape(fault[1] if len(fault) > 1 else ""),
                             ["ok"])
        if fault[0] == "status":
            code, _, text = fault[1].partition(" ")
            code, reason, page = error_page(int(code))
            return self.send(sock, code, reason, unescape(text) if text else page, ["ok"])
        if name == "GetInstallFileSize.php":
            try:
                size = os.path.getsize(os.path.join(root, "install.zip"))
            except OSError:
                return self.send(sock, *error_page(404), fault)
            return self.send(sock, 200, "OK", str(size).encode("ascii"), fault)
        if name == "install_statistic.php":
            return self.send(sock, 200, "OK", b"OK", fault)
        file_path = os.path.join(root, *name.split("/"))
        # Pages (the browser suites' test pages) are served as pages.
        kind = PAGE_TYPES.get(os.path.splitext(name)[1], "application/octet-stream")
        try:
            with open(file_path, "rb") as f:
                # Without a fault the file streams as it is read, as a web
                # server sends it: a large package's first bytes leave at
                # once, not after the whole file has been read.
                if fault[0] == "ok" and method != "HEAD":
                    return self.stream(sock, f, kind)
                content = f.read()
        except OSError:
            return self.send(sock, *error_page(404), fault)
        self.send(sock, 200, "OK", content, fault, method == "HEAD", kind)

    @staticmethod
    def stream(sock, f, content_type):
        """Sends the open file `f` as a 200 reply with its length."""
        size = os.fstat(f.fileno()).st_size
        head = ("HTTP/1.1 200 OK\r\nContent-Type: %s\r\nConnection: close\r\n"
                "Content-Length: %d\r\n\r\n" % (content_type, size)).encode("latin-1")
        try:
            sock.sendall(head)
            sock.sendfile(f)
            sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def send(self, sock, code, reason, body, fault, head_only=False,
             content_type="application/octet-stream"):
        kind = fault[0]
        args = fault[1].split() if len(fault) > 1 else []
        if kind == "reset":
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            return
        if kind == "silent":
            return self.hold(sock, float(args[0]) if args else 600.0)
        if kind == "delay":
            time.sleep(int(args[0]) / 1000.0)
        if kind == "huge":
            body = b"1234567890" * ((int(args[0]) if args and args[0].isdigit() else 16 << 20) // 10)
            if "no-length" in args:
                kind = "no-length"
        headers = ["HTTP/1.1 %d %s" % (code, reason),
                   "Content-Type: %s" % content_type,
                   "Connection: close"]
        chunked = False
        if kind == "short-length":
            headers.append("Content-Length: %d" % int(args[0]))
            headers.append("Transfer-Encoding: chunked")
            chunked = True
        elif kind != "no-length":
            headers.append("Content-Length: %d" % len(body))
        if kind == "drip":
            headers[-1] = "Content-Length: %d" % (int(args[2]) if len(args) > 2 else 100000000)
        out = ("\r\n".join(headers) + "\r\n\r\n").encode("latin-1")
        try:
            if kind == "slow-headers":
                pause = (int(args[0]) if args else 1000) / 1000.0
                for i in range(len(out)):
                    sock.sendall(out[i:i + 1])
                    time.sleep(pause)
            else:
                sock.sendall(out)
            if kind == "drip":
                return self.drip(sock, (int(args[0]) if args else 5000) / 1000.0,
                                 float(args[1]) if len(args) > 1 else 300.0)
            if head_only:
                return
            if chunked:
                if body:
                    sock.sendall(b"%x\r\n" % len(body) + body + b"\r\n")
                sock.sendall(b"0\r\n\r\n")
            elif kind == "cut":
                sock.sendall(body[:int(args[0])])
            elif kind == "reset-mid-body":
                sock.sendall(body[:len(body) // 2])
                time.sleep(0.2)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                return
            elif kind == "slow":
                piece, pause = int(args[0]), int(args[1]) / 1000.0
                for i in range(0, len(body), piece):
                    sock.sendall(body[i:i + piece])
                    time.sleep(pause)
            else:
                sock.sendall(body)
            sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass


    @staticmethod
    def hold(sock, seconds):
        """Keeps the connection open, answering nothing, until the client closes it."""
        end = time.monotonic() + seconds
        sock.settimeout(0.5)
        while time.monotonic() < end:
            try:
                if not sock.recv(65536):
                    return
            except socket.timeout:
                continue
            except OSError:
                return

    @staticmethod
    def drip(sock, pause, seconds):
        """One byte of the body every `pause` seconds until the client goes away."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                sock.sendall(b"x")
            except OSError:
                return
            time.sleep(pause)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True
    timeout = 0.2  # how often the loop in serve() looks at the refuse switch

    def __init__(self, address, root, log, faults):
        super().__init__(address, Handler)
        self.root = root
        self.log = log
        self.faults = faults


class ReleaseJobs(threading.Thread):
    """Runs the release jobs described above, one at a time, oldest first."""

    def __init__(self, folder, stopping):
        super().__init__(daemon=True)
        self.folder = folder
        self.stopping = stopping
        os.makedirs(folder, exist_ok=True)

    def run(self):
        while not self.stopping.wait(0.02):
            for name in sorted(os.listdir(self.folder)):
                if name.endswith(".job"):
                    self.answer(os.path.join(self.folder, name[:-len(".job")]))

    @staticmethod
    def openssl(*args, stdin=b""):
        done = subprocess.run(["openssl", *args], input=stdin, capture_output=True)
        if done.returncode != 0:
            raise RuntimeError("openssl %s: %s" % (args[0], done.stderr.decode(errors="replace")))
        return done.stdout

    def answer(self, base):
        try:
            with open(base + ".job") as f:
                command, _, argument = f.read().strip().partition(" ")
            data = b""
            if os.path.exists(base + ".in"):
                with open(base + ".in", "rb") as f:
                    data = f.read()
            if command == "sha256":
                out = hashlib.sha256(data).hexdigest().encode()
            elif command == "sign":
                out = self.openssl("dgst", "-sha256", "-sign", argument, stdin=data)
            elif command == "genkey":
                if not os.path.exists(argument):
                    self.openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout",
                                 "-out", argument + ".new")
                    os.replace(argument + ".new", argument)
                out = b""
            else:
                raise RuntimeError("unknown job %r" % command)
            result, suffix = out, ".out"
        except Exception as error:  # the reason goes to the client, the server goes on
            result, suffix = str(error).encode(), ".err"
        with open(base + suffix + ".tmp", "wb") as f:
            f.write(result)
        for name in (".job", ".in"):
            if os.path.exists(base + name):
                os.remove(base + name)
        os.replace(base + suffix + ".tmp", base + suffix)


def serve(args):
    root = os.path.abspath(args.root)
    log = RequestLog(os.path.abspath(args.log))
    faults = Faults(root)
    refuse_switch = os.path.join(root, ".refuse")
    # Present while the server refuses: a test waits for it to follow the switch.
    refusing_state = os.path.join(root, ".refusing")
    stopping = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopping.set())
    ReleaseJobs(os.path.join(os.path.abspath(args.log), "jobs"), stopping).start()
    server = None
    try:
        while not stopping.is_set():
            refusing = os.path.exists(refuse_switch)
            if refusing and server:
                server.server_close()
                server = None
                open(refusing_state, "w").close()
            elif not refusing and not server:
                server = Server((args.host, args.port), root, log, faults)
                if os.path.exists(refusing_state):
                    os.remove(refusing_state)
            if server:
                server.handle_request()
            else:
                time.sleep(Server.timeout)
    finally:
        if server:
            server.server_close()


def accepts(host, port):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


def stop(args):
    try:
        with open(args.pidfile) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return 0
    try:
        os.kill(pid, signal.SIGTERM)
        for _ in range(50):
            os.kill(pid, 0)
            time.sleep(0.1)
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    os.remove(args.pidfile)
    return 0


def start(args):
    stop(args)  # a server left behind by an interrupted run
    if accepts(args.host, args.port):
        print("updateserver: %s:%d is already in use" % (args.host, args.port), file=sys.stderr)
        return 1
    for folder in (args.root, args.log):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
    output = open(os.path.join(args.log, "server.out"), "ab")
    child = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "serve", "--root", args.root, "--log",
         args.log, "--host", args.host, "--port", str(args.port)],
        stdin=subprocess.DEVNULL, stdout=output, stderr=output, start_new_session=True)
    with open(args.pidfile, "w") as f:
        f.write(str(child.pid))
    for _ in range(100):
        if accepts(args.host, args.port):
            return 0
        if child.poll() is not None:
            break
        time.sleep(0.1)
    print("updateserver: did not start; see %s" % os.path.join(args.log, "server.out"),
          file=sys.stderr)
    stop(args)
    return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", choices=["serve", "start", "stop"])
    parser.add_argument("--root")
    parser.add_argument("--log")
    parser.add_argument("--pidfile")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=18086)
    args = parser.parse_args()
    if args.command in ("serve", "start") and not (args.root and args.log):
        parser.error("--root and --log are required")
    if args.command in ("start", "stop") and not args.pidfile:
        parser.error("--pidfile is required")
    return {"serve": serve, "start": start, "stop": stop}[args.command](args) or 0


if __name__ == "__main__":
    sys.exit(main())
