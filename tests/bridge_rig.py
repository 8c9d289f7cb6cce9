"""The bridge host as a browser runs it: zarn-bridge.exe under Wine with pipes
for its standard input and output, driven from Linux. Also the prefix state
the scenarios look at (registry, desktop, install folder, the update server's
log and the transfer stand-ins' record).

Needs the environment of scripts/lib.sh's zarn_wine_env (ZARN_WINE,
WINEPREFIX, HOME); the CTest entry provides it."""

import json
import os
import pwd
import queue
import shutil
import struct
import subprocess
import threading
import time

BUILD = os.environ["ZARN_BRIDGE_BUILD"]
SOURCE = os.environ["ZARN_BRIDGE_SOURCE"]
ARCH = os.environ.get("ZARN_ARCH", "x86_64")
WINE = os.environ["ZARN_WINE"]
PREFIX = os.environ["WINEPREFIX"]
# The page origin the build's site rules allow: the update server's.
ORIGIN = os.environ["ZARN_BRIDGE_ORIGIN"]
HOST_EXE = os.path.join(BUILD, "zarn-bridge.exe")
SCRATCH = os.path.join(BUILD, "scratch", "bridge")
# The extension's origin, as Chrome passes it first.
CALLER = "chrome-extension://kmhkbiaoejmjhemccoagcbcmngpmmgcd/"
WAIT = 90  # seconds any single answer may take under a busy Wine


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def frame(payload):
    """A message as the browser frames it: bytes, or a JSON value."""
    data = payload if isinstance(payload, bytes) else json.dumps(payload, ensure_ascii=False).encode()
    return struct.pack("<I", len(data)) + data


class Host:
    """One zarn-bridge.exe. Messages it writes are collected by a thread;
    `next()` waits for the next one."""

    def __init__(self, env=None, args=(CALLER,), wrapper=()):
        """`wrapper`: a program of the build and its options that runs the host
        (jobrun.exe: in a browser's job)."""
        environment = dict(os.environ)
        environment.update(env or {})
        start = [os.path.join(BUILD, wrapper[0]), *wrapper[1:]] if wrapper else []
        self.process = subprocess.Popen([WINE, *start, HOST_EXE, *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        env=environment)
        self.messages = queue.Queue()
        self.ended = threading.Event()  # the host's output reached its end
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        out = self.process.stdout
        while True:
            head = out.read(4)
            if len(head) < 4:
                break
            (length,) = struct.unpack("<I", head)
            body = out.read(length)
            if len(body) < length:
                break
            self.messages.put(json.loads(body.decode("utf-8")))
        self.ended.set()

    def send_raw(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def send(self, payload):
        self.send_raw(frame(payload))

    def call(self, request_id, method, *params, origin=ORIGIN):
        self.send({"id": request_id, "origin": origin, "method": method, "params": list(params)})

    def next(self, timeout=WAIT):
        return self.messages.get(timeout=timeout)

    def until_reply(self, request_id, timeout=WAIT):
        """(events, reply) of a request: every message up to its reply."""
        events = []
        deadline = time.monotonic() + timeout
        while True:
            message = self.next(max(0.1, deadline - time.monotonic()))
            if "event" in message:
                events.append(message)
            elif message.get("id") == request_id:
                return events, message
            else:
                raise AssertionError("unexpected message %r" % message)

    def ask(self, request_id, method, *params, origin=ORIGIN):
        self.call(request_id, method, *params, origin=origin)
        return self.until_reply(request_id)

    def close_input(self):
        self.process.stdin.close()

    def wait(self, timeout=WAIT):
        return self.process.wait(timeout=timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdin.close()
        if self.reader.join(10) is None and not self.reader.is_alive():
            self.process.stdout.close()


def error_code(reply):
    return reply.get("error", {}).get("code")


# ---- the prefix

def prefix_folder(name):
    """A folder of the prefix's description (tests/fixtures/prefix_folders.txt),
    as a path of this machine under the prefix's drive_c."""
    with open(os.path.join(SOURCE, "tests", "fixtures", "prefix_folders.txt"),
              encoding="utf-8") as f:
        for line in f:
            key, _, folder = line.rstrip("\n").partition("=")
            if key == name:
                folder = folder.replace("%USER%", pwd.getpwuid(os.getuid()).pw_name)
                return os.path.join(PREFIX, "drive_c", *folder[3:].split("\\"))
    raise KeyError(name)


def install_folder():
    return prefix_folder("install")


def remove_installed():
    shutil.rmtree(install_folder(), ignore_errors=True)


def temp_folder():
    """The prefix user's temporary folder (Wine sets TMP from its registry)."""
    return prefix_folder("temp")


def desktop():
    return os.path.realpath(prefix_folder("desktop"))


def reg(*args):
    """Runs reg.exe of the build's architecture; (exit status, output)."""
    done = subprocess.run([WINE, "reg", *args], capture_output=True, env=os.environ)
    return done.returncode, done.stdout.decode("utf-8", "replace")


def reg_export(key):
    """The key's values as reg.exe exports them ("" when the key is missing)."""
    path = os.path.join(SCRATCH, "export.reg")
    if os.path.exists(path):
        os.remove(path)
    # Only a key that is not there reads as "": an export that failed for
    # another reason (reg.exe under a full run's load) is tried again, and
    # never taken for a change of the key.
    for _ in range(3):
        status, output = reg("export", key, windows_path(path), "/y")
        if status == 0:
            break
        if reg("query", key)[0] != 0:
            return ""
    else:
        raise AssertionError("reg export %s failed (%d): %s" % (key, status, output))
    with open(path, "rb") as f:
        return f.read().decode("utf-16", "replace")


def wine_processes(name):
    """Processes of this prefix whose command line names `name` (a Wine program)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                args = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if name.lower() in args.lower() and ("WINEPREFIX=" + PREFIX).encode() in environ:
            found.append(args)
    return found


def host_dialog_titles():
    """Titles of the X windows the host shows (Wine names each X window's
    class after its program), from the virtual display."""
    out = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True).stdout
    titles = []
    for line in out.splitlines():
        if '("zarn-bridge.exe"' not in line or '"' not in line.split(":", 1)[0]:
            continue
        title = line.split('"', 2)[1]
        if title != "Default IME":
            titles.append(title)
    return titles


# ---- the update server stand-in

SERVER = os.path.join(BUILD, "updateserver")
WEBROOT = os.path.join(SERVER, "webroot")  # served as /append/application/


def server_requests():
    try:
        with open(os.path.join(SERVER, "requests", "index.txt")) as f:
            return [line.rstrip("\n").split("\t") for line in f if line.strip()]
    except FileNotFoundError:
        return []


def page_requests(requests):
    """The requests a page's calls made: not the host's own look for a newer
    program, which it makes in the background once a page greets it."""
    return [r for r in requests if not any("/program-release." in field for field in r)]


def publish_program(text, signature=None):
    """Serves `text` as the program release, signed with the tests' release
    key (or with `signature` bytes as they are)."""
    os.makedirs(SCRATCH, exist_ok=True)
    path = os.path.join(WEBROOT, "program-release.txt")
    with open(path, "wb") as f:
        f.write(text.encode("ascii"))
    if signature is None:
        signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", os.environ["ZARN_RELEASE_KEY"], path],
                                   check=True, capture_output=True).stdout
    with open(os.path.join(WEBROOT, "program-release.sig"), "wb") as f:
        f.write(signature)


def set_fault(name, text):
    path = os.path.join(WEBROOT, name + ".fault")
    if text is None:
        if os.path.exists(path):
            os.remove(path)
        return
    with open(path, "w") as f:
        f.write(text + "\n")


def refuse_connections(refuse):
    """Makes the stand-in refuse every connection (True) or listen again."""
    marker = os.path.join(WEBROOT, ".refuse")
    if refuse:
        open(marker, "w").close()
    elif os.path.exists(marker):
        os.remove(marker)
    wait_for(lambda: os.path.exists(os.path.join(WEBROOT, ".refusing")) == refuse,
             what="the server to switch")


def publish(version):
    """Publishes the installer stand-in as `version`, one release above the last."""
    release = 0
    try:
        with open(os.path.join(WEBROOT, "release.txt")) as f:
            for line in f:
                if line.startswith("release="):
                    release = int(line.split("=", 1)[1])
    except FileNotFoundError:
        pass
    os.makedirs(SCRATCH, exist_ok=True)
    version_file = os.path.join(SCRATCH, "version.ini")
    with open(version_file, "wb") as f:
        f.write(version.encode() + b"\r\n")
    out = os.path.join(SCRATCH, "published")
    shutil.rmtree(out, ignore_errors=True)
    subprocess.run(["python3", os.path.join(SOURCE, "tools", "publish"), "release",
                    "--key", os.environ["ZARN_RELEASE_KEY"],
                    "--installer", os.path.join(BUILD, "Zarn_setup.exe"),
                    "--version-file", version_file, "--release", str(release + 1),
                    "--out", out], check=True, capture_output=True)
    tree = os.path.join(out, "append", "application")
    for name in os.listdir(tree):
        shutil.copyfile(os.path.join(tree, name), os.path.join(WEBROOT, name))


# ---- the stand-ins' record (tools/transfer, tools/setup)

def read_lines(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace").splitlines()
    except FileNotFoundError:
        return []


def record_of(lines, program, kind):
    """Record lines "<program> <kind> key=value ..." as dicts."""
    out = []
    for line in lines:
        parts = line.split(" ")
        if len(parts) < 2 or parts[0] != program or parts[1] != kind:
            continue
        fields = {}
        for part in parts[2:]:
            if "=" in part:
                key, value = part.split("=", 1)
                fields[key] = value
        out.append(fields)
    return out


def end_started_programs(record_path):
    """Ends every stand-in the record says was started."""
    for fields in record_of(read_lines(record_path), "upload", "start") + \
            record_of(read_lines(record_path), "download", "start"):
        subprocess.run([WINE, "taskkill", "/f", "/pid", fields["pid"]], capture_output=True)


def wait_for(condition, timeout=WAIT, what="condition"):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)
