#!/usr/bin/env python3
"""The bridge host through its pipes, as a browser drives it: the protocol's
answers and errors, the site check, the main job's update road, the folder
walk's events, and the host's end when its input closes."""

import os
import queue
import random
import re
import shutil
import struct
import subprocess
import time
import unittest

import bridge_rig as rig

import sys
sys.path.insert(0, os.path.join(rig.SOURCE, "cmake"))
import protocol_table  # noqa: E402

# What the host must speak: the protocol's one table.
PROTOCOL = protocol_table.read(os.path.join(rig.SOURCE, "bridge", "protocol.table"))

SETTINGS = r"HKCU\Software\Zarn"
POPUP_ALLOW = r"HKCU\Software\Microsoft\Internet Explorer\New Windows\Allow"
RECORD = os.path.join(rig.SCRATCH, "record.txt")
SETUP_LOG = os.path.join(rig.SCRATCH, "setup.txt")
# The stand-ins read their settings from the environment the host passes on.
HOST_ENV = {
    "ZARN_TRANSFER_RECORD": rig.windows_path(RECORD),
    "ZARN_TRANSFER_LIFETIME_MS": "60000",
    "ZARN_SETUP_LOG": rig.windows_path(SETUP_LOG),
}
# How long a burst's calls may take to be answered under a busy Wine: a
# call that takes longer has lost its reply.
BURST_WAIT = 30
ALL_EIGHT = [("CheckInstall",), ("DownLoad", "user", "pw", "a|1|"), ("UpLoad", "user", "pw", "a|1|"),
             ("ShowDlgFile",), ("ShowDlgFolder",), ("SelectComplete", "a", "1", "-1"),
             ("MakeShortCut", rig.ORIGIN + "/", "1"), ("AllowPopUp", "127.0.0.1")]


def set_dword(name, value):
    rig.reg("add", SETTINGS, "/v", name, "/t", "REG_DWORD", "/d", str(value), "/f")


def list_hex(text):
    """The list as the transfer program receives it: the system's code page
    (949 on this Korean prefix) and a NUL."""
    return (text.encode("cp949") + b"\0").hex()


def shortcut_files():
    """The shortcut's files in the temporary folder, with their contents."""
    folder = os.path.join(rig.temp_folder(), "Zarn")
    if not os.path.isdir(folder):
        return {}
    found = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            found[name] = f.read()
    return found


class BridgeHost(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(rig.SCRATCH, ignore_errors=True)
        os.makedirs(rig.SCRATCH)
        self.hosts = []
        for name in ("zarn-bridge.exe", "Zarn_upload.exe", "Zarn_download.exe"):
            self.assertEqual(rig.wine_processes(name), [], "left over")

    def tearDown(self):
        for host in self.hosts:
            host.kill()
        rig.end_started_programs(RECORD)
        rig.refuse_connections(False)

    def host(self, wrapper=(), **env):
        environment = dict(HOST_ENV)
        environment.update(env)
        host = rig.Host(environment, wrapper=wrapper)
        self.hosts.append(host)
        return host

    def assertError(self, reply, code, request_id):
        self.assertEqual(rig.error_code(reply), code, reply)
        self.assertEqual(reply["id"], request_id, reply)
        self.assertTrue(reply["error"]["message"], reply)

    def test_answers_and_errors(self):
        host = self.host()
        events, reply = host.ask(1, "hello")
        self.assertEqual(events, [])
        expected_arch = "x86" if rig.ARCH == "i686" else "x64"
        self.assertEqual(reply["result"]["protocol"], PROTOCOL["protocol"]["newest"])
        self.assertEqual(reply["result"]["minProtocol"], PROTOCOL["protocol"]["oldest"])
        self.assertEqual(reply["result"]["arch"], expected_arch)
        self.assertRegex(reply["result"]["version"], r"^\d+\.\d+\.\d+\.\d+$")
        requests_before = len(rig.server_requests())

        origin = rig.ORIGIN
        # A message that is no request is refused for itself alone, with the
        # id once read, and a text with half of a character in the words the
        # control uses too. The parser's own rows are in test_bridge_messages.
        bad = [  # (message, id the reply names)
            (b"{not json", None),
            (b'{"id": 16, "origin": "%s", "method": "SelectComplete", "params": ["\\ud800"]}'
             % origin.encode(), 16),
            (b'{"id": 18, "origin": "%s", "method": "AllowPopUp", "params": ["a", "b"]}'
             % origin.encode(), 18),
            (b'{"id": 19, "origin": "%s", "params": %s}' % (origin.encode(), b"[" * 5000), 19),
        ]
        half_character = {16}
        for number, (message, request_id) in enumerate(bad):
            host.send_raw(rig.frame(message))
            reply = host.next()
            self.assertError(reply, "bad-request", request_id)
            self.assertEqual("half of a character" in reply["error"]["message"],
                             request_id in half_character, reply)
            _, alive = host.ask(1000 + number, "hello")
            self.assertIn("result", alive, "not answered after %r" % message[:60])

        # Each method takes the table's number of parameters and no more
        # (refused before it runs: nothing opens or starts).
        for number, (method, info) in enumerate(PROTOCOL["methods"].items()):
            request_id = 2000 + number
            reply = host.ask(request_id, method, *["x"] * (info["params"] + 1))[1]
            self.assertError(reply, "bad-request", request_id)
            self.assertIn("takes %d parameter" % info["params"], reply["error"]["message"])
        # An acknowledgement is answered by nothing, even one of no call;
        # one without a count is refused as any malformed message.
        host.send({"ack": 77, "count": 5})
        host.send({"ack": 78})
        self.assertError(host.next(), "bad-request", None)
        self.assertEqual(host.ask(40, "hello")[1]["id"], 40)

        self.assertError(host.ask(30, "Nope")[1], "unknown-method", 30)
        self.assertError(host.ask(31, "hello", origin="https://evil.test")[1], "refused-site", 31)
        # A long origin is refused as any other, its message cut for a person.
        long_origin = "https://x" + "\U0001F600" * (1 << 20)
        reply = host.ask(37, "hello", origin=long_origin)[1]
        self.assertError(reply, "refused-site", 37)
        self.assertIn("https://x\U0001F600", reply["error"]["message"])
        self.assertLess(len(reply["error"]["message"]), 300)
        self.assertNotIn("\ufffd", reply["error"]["message"])
        events, reply = host.ask(32, "SelectComplete", "x" * (1 << 20), "1", "-1")
        self.assertEqual(events, [], "an event over 1 MiB was sent")
        self.assertError(reply, "too-large", 32)

        # What the control reports as a scripting error: the install report
        # that cannot reach the server ends the call with its message.
        set_dword("Isinstall", 1)
        rig.refuse_connections(True)
        try:
            events, reply = host.ask(33, "UpLoad", "user", "pw", "a|1|")
        finally:
            rig.refuse_connections(False)
        self.assertError(reply, "internal", 33)
        self.assertIn("The install report could not be sent", reply["error"]["message"])
        self.assertEqual(rig.read_lines(RECORD), [], "a transfer program started")
        set_dword("Isinstall", 0)
        self.assertEqual(len(rig.page_requests(rig.server_requests()[requests_before:])), 0,
                         "a request reached the server")

        # Korean text: the event, then the reply.
        path = "C:\\자료\\보고서 \U0001F600.hwp"
        host.call(34, "SelectComplete", path, "2048", "-1")
        event = host.next()
        self.assertEqual(event, {"event": "UpSelectComplete", "id": 34,
                                 "params": [path, "2048", "-1"]})
        self.assertEqual(host.next(), {"id": 34, "result": 0})
        # An event far larger than a small one, then a small one again.
        for request_id, item in ((38, "C:\\" + "자" * 100000), (39, path)):
            events, reply = host.ask(request_id, "SelectComplete", item, "1", "-1")
            self.assertEqual(events, [{"event": "UpSelectComplete", "id": request_id,
                                       "params": [item, "1", "-1"]}])
            self.assertEqual(reply, {"id": request_id, "result": 0})
        # A missing trailing parameter is the empty text.
        events, reply = host.ask(35, "SelectComplete", "only a path")
        self.assertEqual(events[0]["params"], ["only a path", "", ""])

        # Framing lost: answered with a null id, then the host ends with an error.
        host.send_raw(struct.pack("<I", 0))
        self.assertError(host.next(), "bad-frame", None)
        self.assertNotEqual(host.wait(), 0)
        for framing in (struct.pack("<I", (16 << 20) + 1), struct.pack("<I", 100) + b"{" * 10):
            other = self.host()
            other.send_raw(framing)
            other.close_input()
            self.assertError(other.next(), "bad-frame", None)
            self.assertNotEqual(other.wait(), 0)

    def test_started_by_a_person(self):
        """--version and --diagnose answer on the host's output and end. The
        version is hello's, and this prefix registers the host for no
        browser, which the diagnosis flags once per browser (exit 1)."""
        def run(option):
            done = subprocess.run([rig.WINE, rig.HOST_EXE, option], stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=rig.WAIT, env=os.environ)
            return done.returncode, done.stdout.decode("utf-8", "replace")

        _, hello = self.host().ask(1, "hello")
        status, text = run("--version")
        result = hello["result"]
        protocols = ("%d" % result["protocol"] if result["minProtocol"] == result["protocol"] else
                     "%d to %d" % (result["minProtocol"], result["protocol"]))
        self.assertEqual((status, text), (0, "zarn-bridge.exe %s, protocol %s, %s\n" % (
            result["version"], protocols, result["arch"])))

        status, text = run("--diagnose")
        self.assertEqual(status, 1, text)
        self.assertTrue(text.startswith("zarn-bridge.exe %s," % hello["result"]["version"]), text)
        problems = [line for line in text.splitlines() if line.startswith("Problem:")]
        self.assertEqual([re.match(r"Problem: (\w+) finds no per-machine registration of "
                                   r"com\.zarn\.bridge: install the Zarn program", line).group(1)
                          for line in problems], ["Chrome", "Edge", "Firefox"], text)
        # Each browser's places in its order: the user's key, then the
        # machine's 32-bit and 64-bit views.
        for vendor in ("Google\\Chrome", "Microsoft\\Edge", "Mozilla"):
            key = "Software\\%s\\NativeMessagingHosts\\com.zarn.bridge" % vendor
            self.assertIn("  1. HKCU\\%s: nothing\n  2. HKLM\\%s (32-bit view): nothing\n"
                          "  3. HKLM\\%s (64-bit view): nothing\n" % (key, key, key), text)

    def test_refused_sites_change_nothing(self):
        rig.reg("add", POPUP_ALLOW, "/f")
        port = rig.ORIGIN.rsplit(":", 1)[1] if rig.ORIGIN.count(":") == 2 else None
        hostport = rig.ORIGIN.split("://", 1)[1]
        refused = ["https://evil.test", "http://127.0.0.1.evil.test", "http://127.0.0.1@evil.test",
                   "http://evil.test#" + hostport, "HTTP://" + hostport, rig.ORIGIN + "/",
                   rig.ORIGIN + "/page", "https://" + hostport, "http://127.0.0.1.:" + (port or "80"),
                   "http://127.000.0.1" + (":" + port if port else ""), rig.ORIGIN + ":80",
                   rig.ORIGIN.replace("://", "://user@"), " " + rig.ORIGIN, "null", ""]
        def state():
            return {"settings": rig.reg_export(SETTINGS), "pop-up allow": rig.reg_export(POPUP_ALLOW),
                    "desktop": sorted(os.listdir(rig.desktop())), "shortcut files": shortcut_files()}
        before, requests_before = state(), len(rig.server_requests())
        host = self.host()
        request_id = 0
        for origin in refused:
            for method, *params in ALL_EIGHT:
                request_id += 1
                events, reply = host.ask(request_id, method, *params, origin=origin)
                self.assertEqual(events, [])
                self.assertEqual(rig.error_code(reply), "refused-site", (origin, method, reply))
        # Arguments judged as under the control's lock, from an allowed page.
        for method, argument in [("MakeShortCut", "http://evil.test/"),
                                 ("MakeShortCut", "http://127.0.0.1.evil.test/"),
                                 ("MakeShortCut", "file:///C:/windows/"),
                                 ("AllowPopUp", "evil.test"), ("AllowPopUp", "127.0.0.1.evil.test")]:
            request_id += 1
            reply = host.ask(request_id, method, argument, "1")[1] if method == "MakeShortCut" \
                else host.ask(request_id, method, argument)[1]
            self.assertEqual(rig.error_code(reply), "refused-site", (method, argument, reply))
        host.close_input()
        self.assertEqual(host.wait(), 0)
        after = state()
        for what in before:
            self.assertEqual(before[what], after[what], what)
        self.assertEqual(rig.page_requests(rig.server_requests()[requests_before:]), [],
                         "requests to the server")
        self.assertEqual(rig.read_lines(RECORD), [], "a transfer program started")
        self.assertEqual(rig.read_lines(SETUP_LOG), [], "an installer started")

    def test_shortcut_and_popup_as_through_the_control(self):
        rig.reg("add", POPUP_ALLOW, "/f")
        rig.reg("delete", POPUP_ALLOW, "/v", "127.0.0.1", "/f")
        shortcut = os.path.join(rig.desktop(), "Zarn.lnk")
        if os.path.exists(shortcut):
            os.remove(shortcut)
        host = self.host()
        self.assertEqual(host.ask(1, "AllowPopUp", "127.0.0.1")[1], {"id": 1, "result": 0})
        page = rig.ORIGIN + "/start.html"
        self.assertEqual(host.ask(2, "MakeShortCut", page, "1")[1], {"id": 2, "result": 0})
        folder = os.path.join(rig.temp_folder(), "Zarn")
        with open(os.path.join(folder, "Zarn.url"), "rb") as f:
            self.assertIn(b"URL=" + page.encode(), f.read())
        # A file where the shortcut's folder belongs: the page reads the
        # control's own words for the failure.
        shutil.rmtree(folder)
        open(folder, "wb").close()
        try:
            self.assertEqual(host.ask(3, "MakeShortCut", page, "0")[1], {"id": 3, "error": {
                "code": "internal", "message": "Cannot create the shortcut folder (error 183)."}})
        finally:
            os.remove(folder)
        host.close_input()
        self.assertEqual(host.wait(), 0)
        status, listing = rig.reg("query", POPUP_ALLOW, "/v", "127.0.0.1")
        self.assertEqual(status, 0, listing)
        self.assertRegex(listing, r"127\.0\.0\.1\s+REG_DWORD\s+0x0")
        self.assertTrue(os.path.exists(shortcut), "no desktop shortcut")
        os.remove(shortcut)

    def test_update_road(self):
        rig.remove_installed()
        for name in ("version", "release"):
            rig.reg("delete", SETTINGS, "/v", name, "/f")
        set_dword("Isinstall", 0)
        rig.publish("2.0.1")
        items = "C:\\자료\\보고서.txt|10|C:\\자료\\사진|-1|"

        # A fresh install through the real update dialog; the installer takes
        # its time, so a second host and a second call meet the running dialog
        # (long enough for a busy machine: the dialog must outlast every ask).
        first = self.host(ZARN_SETUP_MODE="delay:15000")
        first.call(1, "UpLoad", "user", "pw", items)
        rig.wait_for(lambda: rig.read_lines(SETUP_LOG), what="the installer")
        self.assertEqual(first.ask(2, "hello")[1]["result"]["protocol"], PROTOCOL["protocol"]["newest"])
        self.assertEqual(rig.error_code(first.ask(1, "SelectComplete", "a")[1]), "bad-request",
                         "a running id was taken again")
        # A second dialog call is refused quietly, as in the control.
        self.assertEqual(first.ask(3, "ShowDlgFolder"), ([], {"id": 3, "result": 0}))
        self.assertEqual(first.ask(4, "UpLoad", "user", "pw", "b")[1], {"id": 4, "result": 1})
        # Another host of the same user (another page, or one whose browser
        # has gone): the update lock refuses its gate, and the page is told
        # so, never a silent null or 1 that reads as a hand-off.
        second = self.host(ZARN_SETUP_MODE="delay:3000")
        for request_id, method in ((1, "UpLoad"), (2, "DownLoad")):
            reply = second.ask(request_id, method, "user", "pw", "c")[1]
            self.assertError(reply, "update-running", request_id)
            self.assertIn("another window", reply["error"]["message"])
        self.assertEqual(first.until_reply(1), ([], {"id": 1, "result": 0}))
        self.assertEqual(len(rig.read_lines(SETUP_LOG)), 1, "one installer ran")
        self.assertTrue(os.path.exists(os.path.join(rig.install_folder(), "Zarn_upload.exe")))
        lines = rig.read_lines(RECORD)
        self.assertEqual(len(rig.record_of(lines, "upload", "start")), 1)
        lists = rig.record_of(lines, "upload", "list")
        self.assertEqual([entry["bytes"] for entry in lists], [list_hex(items)])

        # The transfer program outlives the host, and holds none of its handles:
        # the host's output ends when the host does.
        first.close_input()
        self.assertEqual(first.wait(), 0)
        self.assertTrue(first.ended.wait(10), "the host's output stayed open")
        self.assertTrue(rig.wine_processes("Zarn_upload.exe"), "the transfer program ended")

        # A request of 16 MiB: its list goes to the running program's hand-off
        # as the control passes it, and the host answers on.
        huge = "x" * ((16 << 20) - 200)
        reply = second.ask(2, "UpLoad", "user", "pw", huge)[1]
        self.assertIn("result", second.ask(3, "hello")[1])
        lists = rig.record_of(rig.read_lines(RECORD), "upload", "list")
        if len(lists) == 1:
            # Under Wine 8 a WM_COPYDATA between processes of more than
            # about 2 MiB never reaches the window: the sender's call fails
            # (access denied) and the receiving program ends. A list the
            # program never took is UpLoad's 2, as through the control.
            print("the transfer stand-in recorded no 16 MiB list")
            self.assertEqual(reply, {"id": 2, "result": 2})
        else:
            self.assertEqual(int(lists[1]["cbData"]), len(huge) + 1)
            self.assertEqual(reply, {"id": 2, "result": 0})

        second.close_input()
        self.assertEqual(second.wait(), 0)

        # A browser runs the host in a job and ends the job with the host.
        # Where the job lets programs leave it, the transfer program does and
        # outlives it; where it does not, it ends with the job.
        for wrapper, outlives in ((("jobrun.exe", "--no-breakaway"), False),
                                  (("jobrun.exe",), True)):
            rig.end_started_programs(RECORD)
            rig.wait_for(lambda: not rig.wine_processes("Zarn_upload.exe"),
                         what="the stand-in's end")
            jobbed = self.host(wrapper=wrapper)
            self.assertEqual(jobbed.ask(1, "UpLoad", "user", "pw", "d")[1], {"id": 1, "result": 0})
            jobbed.close_input()
            self.assertEqual(jobbed.wait(), 0)
            if outlives:
                self.assertTrue(rig.wine_processes("Zarn_upload.exe"),
                                "the transfer program ended with the host's job")
            else:
                rig.wait_for(lambda: not rig.wine_processes("Zarn_upload.exe"),
                             what="the end of the transfer program held in the job")

        # Input closed while the update dialog runs: the installation
        # completes, no program starts, and the host ends by itself.
        rig.end_started_programs(RECORD)
        rig.wait_for(lambda: not rig.wine_processes("Zarn_upload.exe"), what="the stand-in's end")
        rig.remove_installed()
        rig.publish("2.0.2")
        os.remove(RECORD)
        third = self.host(ZARN_SETUP_MODE="delay:2000")
        third.call(1, "UpLoad", "user", "pw", items)
        rig.wait_for(lambda: len(rig.read_lines(SETUP_LOG)) == 2, what="the second installer")
        third.close_input()
        installed = os.path.join(rig.install_folder(), "Zarn_upload.exe")
        rig.wait_for(lambda: os.path.exists(installed), what="the installation")
        started = time.monotonic()
        # The installer reports 2 s after installing; the dialog then ends.
        self.assertEqual(third.wait(timeout=2 + 5 + 3), 0)
        print("host ended %.1f s after the installation (its report came 2 s after it)"
              % (time.monotonic() - started))
        self.assertTrue(third.ended.is_set() or third.ended.wait(5))
        status, listing = rig.reg("query", SETTINGS, "/v", "version")
        self.assertIn("2.0.2", listing, "the installation was not completed")
        self.assertEqual(rig.read_lines(RECORD), [], "a program started after the input ended")
        self.assertEqual(rig.wine_processes("zarn-bridge.exe"), [])
        self.assertEqual(rig.wine_processes("Zarn_setup.exe"), [])

    def test_program_release(self):
        # The host looks for a newer program once a page greets it, in the
        # background: hello answers at once, and a later hello says what the
        # look found. Only a signed program release, not replayed, of a
        # newer version counts; the host works the same either way.
        own = self.host().ask(1, "hello")[1]["result"]["version"]
        newer = ".".join(own.split(".")[:3] + [str(int(own.split(".")[3]) + 1)])
        digest = "ab" * 32

        def text(release, version, kind="program"):
            return ("kind=%s\nrelease=%d\nversion=%s\nx64=ZarnCtrl2-x64.msi 10 %s\n"
                    "x86=ZarnCtrl2-x86.msi 10 %s\n" % (kind, release, version, digest, digest))

        def forget(seen=None):
            rig.reg("delete", SETTINGS, "/v", "ProgramReleaseChecked", "/f")
            rig.reg("delete", SETTINGS, "/v", "ProgramRelease", "/f")
            if seen is not None:
                set_dword("ProgramReleaseSeen", seen)

        def offered(settle):
            """What hello offers once the look has ended (the server asked
            for the signature, which it fetches last, when `settle`)."""
            host = self.host()
            mark = len(rig.server_requests())
            first = host.ask(1, "hello")[1]["result"]
            if settle:
                rig.wait_for(lambda: any("/program-release.sig" in field for r in rig.server_requests()[mark:]
                                         for field in r), what="the look for a newer program")
            # The look judges what it fetched: hello asks again until it
            # offers something, for a few seconds at most.
            update, i, until = None, 2, time.monotonic() + 5
            while settle and not update and time.monotonic() < until:
                update = host.ask(i, "hello")[1]["result"].get("update")
                i += 1
            host.close_input()
            self.assertEqual(host.wait(), 0)
            return first, update

        policy = r"HKLM\Software\Policies\Zarn"
        try:
            rows = [
                # (what, served text, signature, highest release seen, offered version)
                ("a newer version", text(5, newer), None, 4, newer),
                ("the same version", text(6, own), None, 4, None),
                ("a replayed older release", text(3, newer), None, 5, None),
                ("a forged signature", text(7, newer), b"0" * 70, 4, None),
                ("a release of the other kind", text(7, newer, "transfer"), None, 4, None),
            ]
            for what, served, signature, seen, expected in rows:
                with self.subTest(what):
                    rig.publish_program(served, signature)
                    forget(seen)
                    first, update = offered(True)
                    self.assertNotIn("update", first, "hello waited for the look")
                    self.assertEqual(update, {"version": expected} if expected else None)

            # The verified release is kept: the next host offers it at once,
            # without asking the server for 12 hours.
            rig.publish_program(text(9, newer))
            forget(4)
            offered(True)
            mark = len(rig.server_requests())
            host = self.host()
            self.assertEqual(host.ask(1, "hello")[1]["result"].get("update"), {"version": newer})
            host.close_input()
            self.assertEqual(host.wait(), 0)
            self.assertEqual(rig.server_requests()[mark:], [], "asked again within 12 hours")

            def diagnosis():
                return subprocess.run([rig.WINE, rig.HOST_EXE, "--diagnose"], stdin=subprocess.DEVNULL,
                                      capture_output=True, timeout=rig.WAIT,
                                      env=os.environ).stdout.decode("utf-8", "replace")
            text_seen = diagnosis()
            self.assertIn("The program updates itself", text_seen)
            self.assertIn("  installed: %s; published, as last looked at: %s\n" % (own, newer), text_seen)

            # The machine's policy turns it off: nothing fetched, nothing offered.
            rig.reg("add", policy, "/v", "ProgramUpdate", "/t", "REG_DWORD", "/d", "0", "/f")
            forget(4)
            mark = len(rig.server_requests())
            _, update = offered(False)
            self.assertIsNone(update)
            time.sleep(1)
            self.assertEqual(rig.server_requests()[mark:], [], "fetched with the policy off")
            self.assertIn("does not update itself: machine policy ProgramUpdate is 0 (installed: %s)" % own,
                          diagnosis())
        finally:
            rig.reg("delete", policy, "/f")
            forget(0)
            # Asked just now, as far as later hosts of this run know.
            rig.reg("add", SETTINGS, "/v", "ProgramReleaseChecked", "/t", "REG_SZ", "/d",
                    str(int(time.time())), "/f")
            for name in ("program-release.txt", "program-release.sig"):
                if os.path.exists(os.path.join(rig.WEBROOT, name)):
                    os.remove(os.path.join(rig.WEBROOT, name))

    def test_folder_walk_events(self):
        # On drive C: Wine's browser expands its tree to a folder there.
        tree = os.path.join(rig.PREFIX, "drive_c", "bridge-walk")
        shutil.rmtree(tree, ignore_errors=True)
        os.makedirs(os.path.join(tree, "sub", "deeper"))
        for name, size in (("a.txt", 3), ("sub/b.bin", 5), ("sub/deeper/c.txt", 0)):
            with open(os.path.join(tree, name), "wb") as f:
                f.write(b"z" * size)
        top = "C:\\bridge-walk"
        rig.reg("add", SETTINGS, "/v", "sWebControlPath", "/t", "REG_SZ", "/d", top, "/f")
        host = self.host()
        host.call(1, "ShowDlgFolder")
        press = subprocess.run([rig.WINE, os.path.join(rig.BUILD, "dialogpress.exe"), "--process",
                                "zarn-bridge.exe", "업로드 하실 폴더를 선택하세요."],
                               capture_output=True, timeout=120)
        self.assertEqual(press.returncode, 0, press.stdout)
        events, reply = host.until_reply(1)
        self.assertEqual(reply, {"id": 1, "result": 0})
        self.assertEqual([event["params"] for event in events], [
            [top, "-1", "-1"],
            [top + "\\sub", "-1", top],
            [top + "\\sub\\deeper", "-1", top],
            [top + "\\sub\\deeper\\c.txt", "0", top],
            [top + "\\sub\\b.bin", "5", top],
            [top + "\\a.txt", "3", top],
        ])
        self.assertTrue(all(event["id"] == 1 for event in events))

        # A wide folder, walked twice: as a request that asks for
        # acknowledgements (the host stops after the window and goes on as
        # the events are acknowledged), and as one of an extension that knows
        # none (the host walks on by itself). Every item once, in the same
        # order either way.
        window = PROTOCOL["limits"]["eventWindow"]
        wide = os.path.join(tree, "wide")
        os.makedirs(wide)
        count = window + window // 2
        for i in range(count):
            open(os.path.join(wide, "f%05d" % i), "wb").close()
        walks = []
        for acknowledged in (True, False):
            request = {"id": 4, "origin": rig.ORIGIN, "method": "ShowDlgFolder", "params": []}
            if acknowledged:
                request["ack"] = True
            walker = self.host()
            walker.send(request)
            press = subprocess.run([rig.WINE, os.path.join(rig.BUILD, "dialogpress.exe"), "--process",
                                    "zarn-bridge.exe", "업로드 하실 폴더를 선택하세요."],
                                   capture_output=True, timeout=120)
            self.assertEqual(press.returncode, 0, press.stdout)
            seen = []
            if acknowledged:
                seen = [walker.next() for _ in range(window)]
                # The host holds the rest until the page has run some.
                with self.assertRaises(queue.Empty):
                    walker.next(timeout=2)
                walker.send({"ack": 4, "count": 100})
                seen += [walker.next() for _ in range(100)]
                with self.assertRaises(queue.Empty):
                    walker.next(timeout=1)
                walker.send({"ack": 4, "count": count})
            events, reply = walker.until_reply(4)
            self.assertEqual(reply, {"id": 4, "result": 0})
            walks.append([event["params"][0] for event in seen + events])
            walker.close_input()
            self.assertEqual(walker.wait(), 0)
        self.assertEqual(walks[0], walks[1])
        files = [path for path in walks[0] if path.startswith(top + "\\wide\\")]
        self.assertEqual(sorted(files), [top + "\\wide\\f%05d" % i for i in range(count)])
        self.assertEqual(len(walks[0]), len(set(walks[0])))

        # The file dialog opens in the remembered folder and lists its files
        # as well as its folder; cancelled, it reports nothing. (Its
        # file-name box reads "*.*".)
        host.call(2, "ShowDlgFile")
        press = subprocess.run([rig.WINE, os.path.join(rig.BUILD, "dialogpress.exe"), "--process",
                                "zarn-bridge.exe", "--list", "--cancel", "*.*"],
                               capture_output=True, timeout=120)
        self.assertEqual(press.returncode, 0, press.stdout)
        listed = press.stdout.decode("utf-8").splitlines()
        self.assertLessEqual({"a.txt", "sub"}, set(listed), listed)
        events, reply = host.until_reply(2)
        self.assertEqual((events, reply), ([], {"id": 2, "result": 0}))

        # Input closed with a picker open: the host cancels it and ends.
        host.call(3, "ShowDlgFile")
        rig.wait_for(rig.host_dialog_titles, what="the file dialog")
        host.close_input()
        self.assertEqual(host.wait(), 0)
        _, reply = host.until_reply(3)
        self.assertEqual(reply, {"id": 3, "result": 0})

    def test_call_cap_and_ids_free_before_replies(self):
        """The 33rd call while 32 run is busy: the first shortcut's icon fetch
        is held, and the other shortcuts wait for it. An id is free again
        once its reply is out: each shortcut's id is taken at once by hello."""
        set_dword("bAddIcon", 0)
        self.addCleanup(rig.set_fault, "zarn1.ico", None)
        rig.set_fault("zarn1.ico", "silent 10\nreset")
        host = self.host()
        shortcut = [rig.ORIGIN + "/cap.html", "0"]
        host.send_raw(b"".join(rig.frame({"id": i, "origin": rig.ORIGIN, "method": "MakeShortCut",
                                          "params": shortcut}) for i in range(1, 33)) +
                      rig.frame({"id": 33, "origin": rig.ORIGIN, "method": "DownLoad",
                                 "params": ["user", "pw", "c|3|"]}))
        self.assertError(host.next(), "busy", 33)
        shortcuts, hellos = set(), set()
        while len(hellos) < 32:
            reply = host.next()
            if reply.get("result") == 0 and reply["id"] not in shortcuts:
                shortcuts.add(reply["id"])
                host.call(reply["id"], "hello")
            else:
                self.assertEqual(reply.get("result", {}).get("protocol"), PROTOCOL["protocol"]["newest"],
                                 reply)
                hellos.add(reply["id"])
        self.assertEqual(shortcuts, set(range(1, 33)))
        host.close_input()
        self.assertEqual(host.wait(), 0)

    def test_bursts_of_overlapping_calls(self):
        """Bursts of calls that run on threads of their own, overlapping the
        reading thread's quick ones: exactly one reply per request, none for
        an id never sent, and an end only after every reply. The last burst
        of each host is followed at once by the end of its input."""
        set_dword("Isinstall", 0)
        set_dword("bAddIcon", 0)
        rig.reg("add", POPUP_ALLOW, "/f")
        standins = dict(HOST_ENV, ZARN_TRANSFER_LIFETIME_MS="900000")
        environment = dict(os.environ, **standins)
        for program in ("Zarn_download.exe", "Zarn_upload.exe"):
            # Ended by tearDown, as the stand-ins a host starts are.
            self.addCleanup(subprocess.Popen([rig.WINE, os.path.join(rig.BUILD, program)],
                                             env=environment, stdout=subprocess.DEVNULL,
                                             stderr=subprocess.DEVNULL).wait, rig.WAIT)
        rig.wait_for(lambda: len(rig.record_of(rig.read_lines(RECORD), "download", "window")) +
                     len(rig.record_of(rig.read_lines(RECORD), "upload", "window")) == 2,
                     what="both transfer stand-ins' windows")
        # MakeShortCut's icon fetch fails at once on a refused connection.
        rig.refuse_connections(True)
        mix = ([("DownLoad", "user", "pw", "a|1|")] * 8 + [("UpLoad", "user", "pw", "b|2|")] * 8 +
               [("MakeShortCut", rig.ORIGIN + "/burst.html", "0")] * 8 +
               [("hello",), ("CheckInstall",), ("SelectComplete", "c", "3", "-1")] * 2)
        shuffle = random.Random(30).shuffle
        hosts, bursts = 20, 10
        faults, faulty_bursts, bursts_run = [], 0, 0
        for round_number in range(hosts):
            host = self.host()
            request_id = 0
            stuck = False
            for burst in range(bursts):
                calls = list(mix)
                shuffle(calls)
                sent = {}
                data = b""
                for method, *params in calls:
                    request_id += 1
                    sent[request_id] = method
                    data += rig.frame({"id": request_id, "origin": rig.ORIGIN, "method": method,
                                       "params": params})
                host.send_raw(data)
                if burst == bursts - 1:
                    host.close_input()
                where = "host %d burst %d" % (round_number, burst)
                found = self.burst_faults(host, sent, where)
                bursts_run += 1
                faulty_bursts += bool(found)
                faults += found
                stuck = any("no reply" in fault for fault in found)
                if stuck:
                    break
            if stuck:
                host.kill()
                continue
            try:
                status = host.wait(timeout=BURST_WAIT)
            except subprocess.TimeoutExpired:
                faults.append("host %d did not end after its input" % round_number)
                host.kill()
                continue
            if not host.ended.wait(10) or not host.messages.empty():
                faults.append("host %d wrote after its last reply: %r" % (
                    round_number, list(host.messages.queue)))
            if status != 0:
                faults.append("host %d ended with %d" % (round_number, status))
        print("%d bursts of %d calls, %d with a fault" % (bursts_run, len(mix), faulty_bursts))
        self.assertFalse(faults, "\n".join(faults))

    def burst_faults(self, host, sent, where):
        """What went wrong with the replies to the requests `sent` (id:
        method): every reply an answer without error, exactly one per
        request, and nothing for another id."""
        faults, replies = [], {}
        deadline = time.monotonic() + BURST_WAIT
        try:
            while len(replies) < len(sent):
                try:
                    message = host.next(timeout=1)
                except queue.Empty:
                    if host.ended.is_set() or time.monotonic() > deadline:
                        raise
                    continue
                if message.get("id") not in sent:
                    faults.append("%s: a message for an id not of this burst: %r" % (where, message))
                elif "event" in message:
                    continue
                elif message["id"] in replies:
                    faults.append("%s: id %d answered twice" % (where, message["id"]))
                else:
                    replies[message["id"]] = message
        except queue.Empty:
            faults.append("%s: no reply (%s) for %s" % (
                where, "the host ended" if host.ended.is_set() else "none came", sorted(
                (i, sent[i]) for i in sent.keys() - replies.keys())))
        for reply_id, reply in replies.items():
            if "error" in reply:
                faults.append("%s: %s %d failed: %r" % (where, sent[reply_id], reply_id, reply))
        return faults


if __name__ == "__main__":
    unittest.main(verbosity=2)
