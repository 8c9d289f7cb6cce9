#!/usr/bin/env python3
"""tools/publish on Linux: the tree it writes, what it refuses, and that its
own check catches a tree edited after signing."""

import hashlib
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "publish")


def load_tool():
    loader = importlib.machinery.SourceFileLoader("publish", TOOL)
    found = importlib.util.spec_from_loader("publish", loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def run(*args):
    return subprocess.run([sys.executable, TOOL, *args], capture_output=True, text=True)


class PublishTool(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.dir = self.work.name
        self.keys = os.path.join(self.dir, "keys")
        self.assertEqual(run("keygen", self.keys).returncode, 0)
        self.installer = os.path.join(self.dir, "setup.exe")
        with open(self.installer, "wb") as f:
            f.write(os.urandom(70000))
        self.version = os.path.join(self.dir, "version.ini")
        with open(self.version, "wb") as f:
            f.write(b"3.2.1\r\n")
        self.out = os.path.join(self.dir, "www")
        self.tree = os.path.join(self.out, "append", "application")

    def tearDown(self):
        self.work.cleanup()

    def publish(self, number, *extra):
        return run("release", "--key", os.path.join(self.keys, "release-private.pem"),
                   "--installer", self.installer, "--version-file", self.version,
                   "--release", str(number), "--out", self.out, *extra)

    def read(self, name):
        with open(os.path.join(self.tree, name), "rb") as f:
            return f.read()

    def fake_msi(self, name, version):
        """A file with an MSI's magic and a signature stream, whose version
        the msiinfo stand-in on PATH reports."""
        path = os.path.join(self.dir, "msis-" + version, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(bytes.fromhex("d0cf11e0a1b11ae1") + os.urandom(5000) +
                    "\x05DigitalSignature".encode("utf-16-le"))
        with open(path + ".version", "w") as f:
            f.write(version)
        return path

    def publish_program(self, number, *msis):
        tools = os.path.join(self.dir, "bin")
        os.makedirs(tools, exist_ok=True)
        stand_in = os.path.join(tools, "msiinfo")
        with open(stand_in, "w") as f:
            f.write('#!/bin/sh\n[ "$1 $3" = "export Property" ] || exit 2\n'
                    'printf "Property\\tValue\\nProductVersion\\t2.0.7\\nZarnFileVersion\\t%s\\n" '
                    '"$(cat "$2.version")"\n')
        os.chmod(stand_in, 0o755)
        args = [sys.executable, TOOL, "program", "--key", os.path.join(self.keys, "release-private.pem"),
                "--release", str(number), "--out", self.out]
        for msi in msis:
            args += ["--msi", msi]
        return subprocess.run(args, capture_output=True, text=True,
                              env=dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"]))

    def test_the_programs_own_release(self):
        x64, x86 = (self.fake_msi("ZarnCtrl2-%s.msi" % arch, "1.0.0.7") for arch in ("x64", "x86"))
        done = self.publish_program(3, x64, x86)
        self.assertEqual(done.returncode, 0, done.stderr)
        digest = lambda path: hashlib.sha256(open(path, "rb").read()).hexdigest()
        self.assertEqual(self.read("program-release.txt").decode(),
                         "kind=program\nrelease=3\nversion=1.0.0.7\n"
                         "x64=ZarnCtrl2-x64.msi %d %s\nx86=ZarnCtrl2-x86.msi %d %s\n"
                         % (os.path.getsize(x64), digest(x64), os.path.getsize(x86), digest(x86)))
        public = os.path.join(self.keys, "release-public.pem")
        verified = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public, "-signature",
                                   os.path.join(self.tree, "program-release.sig"),
                                   os.path.join(self.tree, "program-release.txt")], capture_output=True)
        self.assertEqual(verified.returncode, 0, verified.stderr)
        self.assertEqual(self.read("ZarnCtrl2-x64.msi"), open(x64, "rb").read())

        newer = self.fake_msi("ZarnCtrl2-x64.msi", "1.0.0.8")
        other = self.fake_msi("ZarnCtrl2-x86.msi", "1.0.0.9")
        refusals = [
            ("a release not above the last", (3, newer), "not above release 3"),
            ("MSIs of two versions", (4, newer, other), "different versions"),
            ("the same MSI twice", (4, newer, newer), "given twice"),
        ]
        for what, (number, *msis), why in refusals:
            done = self.publish_program(number, *msis)
            self.assertNotEqual(done.returncode, 0, what)
            self.assertIn(why, done.stderr, what)
        # Nothing of a refused publication is left: the release is the first.
        self.assertIn(b"version=1.0.0.7", self.read("program-release.txt"))
        self.assertEqual(self.read("ZarnCtrl2-x64.msi"), open(x64, "rb").read())
        self.assertEqual(self.publish_program(4, newer).returncode, 0)
        self.assertIn(b"release=4\nversion=1.0.0.8\nx64=", self.read("program-release.txt"))

    def test_writes_the_whole_tree_signed(self):
        icon = os.path.join(self.dir, "icon.ico")
        with open(icon, "wb") as f:
            f.write(b"\0\0\1\0")
        done = self.publish(5, "--icon", icon)
        self.assertEqual(done.returncode, 0, done.stderr)
        package = self.read("install.zip")
        self.assertEqual(self.read("release.txt"),
                         b"kind=transfer\nrelease=5\nversion=332e322e310d0a\nsize=70000\nsha256=%s\n"
                         % hashlib.sha256(package).hexdigest().encode())
        self.assertEqual(self.read("GetInstallFileSize.php"), b"70000")
        self.assertEqual(self.read("version.ini"), b"3.2.1\r\n")
        self.assertEqual(self.read("zarn1.ico"), b"\0\0\1\0")
        self.assertTrue(os.path.exists(os.path.join(self.tree, "install_statistic.php")))
        # The signature verifies with the public key alone, by openssl itself.
        verified = subprocess.run(
            ["openssl", "dgst", "-sha256", "-verify", os.path.join(self.keys, "release-public.pem"),
             "-signature", os.path.join(self.tree, "release.sig"),
             os.path.join(self.tree, "release.txt")], capture_output=True)
        self.assertEqual(verified.returncode, 0, verified.stderr)
        # No staging folder is left behind.
        self.assertEqual(sorted(n for n in os.listdir(self.tree) if n.startswith(".")), [])

    def test_refuses_a_release_that_is_not_above_the_published_one(self):
        self.assertEqual(self.publish(5).returncode, 0)
        before = self.read("release.txt")
        for number in (5, 4, 0, 2147483648):
            done = self.publish(number)
            self.assertNotEqual(done.returncode, 0, number)
        self.assertEqual(self.read("release.txt"), before)
        self.assertEqual(self.publish(6).returncode, 0)

    def test_never_overwrites_a_key_pair(self):
        with open(os.path.join(self.keys, "release-private.pem"), "rb") as f:
            key = f.read()
        self.assertNotEqual(run("keygen", self.keys).returncode, 0)
        with open(os.path.join(self.keys, "release-private.pem"), "rb") as f:
            self.assertEqual(f.read(), key)
        self.assertEqual(os.stat(os.path.join(self.keys, "release-private.pem")).st_mode & 0o077, 0)

    def test_its_check_catches_a_tree_edited_after_signing(self):
        self.assertEqual(self.publish(1).returncode, 0)
        tool = load_tool()
        with open(os.path.join(self.keys, "release-public.pem"), "rb") as f:
            public = f.read()
        tool.check(self.tree, public)  # as published
        edits = {
            "install.zip": lambda b: b[:100] + bytes([b[100] ^ 1]) + b[101:],
            "version.ini": lambda b: b.replace(b"3.2.1", b"3.2.2"),
            "release.txt": lambda b: b.replace(b"release=1", b"release=9"),
            "GetInstallFileSize.php": lambda b: b"69999",
        }
        for name, edit in edits.items():
            original = self.read(name)
            with open(os.path.join(self.tree, name), "wb") as f:
                f.write(edit(original))
            with self.assertRaises(tool.Refused, msg=name):
                tool.check(self.tree, public)
            with open(os.path.join(self.tree, name), "wb") as f:
                f.write(original)


def make_xpi(path, version, update_url, signed=False, gecko="bridge@zarn.example"):
    import json
    import zipfile
    manifest = {"manifest_version": 3, "name": "Zarn", "version": version,
                "browser_specific_settings": {"gecko": {"id": gecko, "update_url": update_url}}}
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("manifest.json", json.dumps(manifest))
        if signed:
            z.writestr("META-INF/cose.sig", b"signature")
    return path


class PublishFirefox(unittest.TestCase):
    BASE = "https://updates.zarn.example"
    UPDATES = BASE + "/append/application/extension/updates.json"

    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.dir = self.work.name
        self.out = os.path.join(self.dir, "www")
        self.folder = os.path.join(self.out, "append", "application", "extension")

    def tearDown(self):
        self.work.cleanup()

    def xpi(self, version, **kw):
        self.made = getattr(self, "made", 0) + 1
        return make_xpi(os.path.join(self.dir, "zarn-%d-%s.xpi" % (self.made, version)), version,
                        kw.pop("update_url", self.UPDATES), **kw)

    def publish(self, xpi, *extra, base=None):
        return run("extension", "--firefox", "--xpi", xpi, "--url", base or self.BASE,
                   "--out", self.out, *extra)

    def test_refusals_leave_nothing_published(self):
        cases = [
            ("no store signature", self.xpi("1.0.0.1"), (), None, "signature"),
            ("an update_url elsewhere", self.xpi("1.0.0.1", update_url="https://other.example/u.json"),
             ("--unsigned",), None, "update_url"),
            ("no update_url", self.xpi("1.0.0.1", update_url=None), ("--unsigned",), None, "update_url"),
            ("an http server", self.xpi("1.0.0.1", update_url="http://updates.zarn.example"
                                        "/append/application/extension/updates.json"),
             ("--unsigned",), "http://updates.zarn.example", "https"),
        ]
        for label, xpi, extra, base, says in cases:
            with self.subTest(label):
                done = self.publish(xpi, *extra, base=base)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(says, done.stderr)
                self.assertFalse(os.path.exists(self.folder), os.listdir(self.out) if
                                 os.path.exists(self.out) else None)

    def test_each_version_is_listed_for_updates_and_the_newest_installs(self):
        import json
        first, second = self.xpi("1.0.0.1", signed=True), self.xpi("1.0.0.2", signed=True)
        for xpi in (first, second):
            done = self.publish(xpi)
            self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(self.folder, "updates.json"), encoding="utf-8") as f:
            updates = json.load(f)
        listed = updates["addons"]["bridge@zarn.example"]["updates"]
        self.assertEqual([e["version"] for e in listed], ["1.0.0.1", "1.0.0.2"])
        for entry, xpi in zip(listed, (first, second)):
            with open(xpi, "rb") as f:
                data = f.read()
            self.assertEqual(entry["update_hash"], "sha256:" + hashlib.sha256(data).hexdigest())
            self.assertEqual(entry["update_link"], self.BASE + "/append/application/extension/firefox/"
                             "zarn-extension-%s.xpi" % entry["version"])
            with open(os.path.join(self.folder, "firefox", "zarn-extension-%s.xpi" % entry["version"]),
                      "rb") as f:
                self.assertEqual(f.read(), data)
        with open(os.path.join(self.folder, "zarn-extension.xpi"), "rb") as f, open(second, "rb") as g:
            self.assertEqual(f.read(), g.read(), "the install_url serves the newest")
        # Not above the newest: refused, the list unchanged.
        again = self.publish(self.xpi("1.0.0.2", signed=True))
        self.assertNotEqual(again.returncode, 0)
        self.assertIn("not above", again.stderr)
        with open(os.path.join(self.folder, "updates.json"), encoding="utf-8") as f:
            self.assertEqual(json.load(f), updates)

    def test_the_page_for_testers_names_the_keys_id(self):
        import base64
        import json
        import zipfile
        folder = os.path.join(self.dir, "unpacked")
        os.makedirs(folder)
        der = bytes(range(40))
        with open(os.path.join(folder, "manifest.json"), "w") as f:
            json.dump({"version": "1.0.0.3", "key": base64.b64encode(der).decode()}, f)
        with open(os.path.join(folder, "sites.js"), "w") as f:
            f.write("var ZARN_SITES = [];\n")
        # The messages' folders go into the zip with their files.
        os.makedirs(os.path.join(folder, "_locales", "ko"))
        with open(os.path.join(folder, "_locales", "ko", "messages.json"), "w") as f:
            f.write("{}")
        xpi = self.xpi("1.0.0.3")
        done = run("testers", "--folder", folder, "--xpi", xpi, "--out", self.out)
        self.assertEqual(done.returncode, 0, done.stderr)
        ident = "".join(chr(ord("a") + int(c, 16)) for c in hashlib.sha256(der).hexdigest()[:32])
        with open(os.path.join(self.folder, "testers.html"), encoding="utf-8") as f:
            page = f.read()
        for part in (ident, 'id="chrome"', 'id="edge"', 'id="firefox"', "bridge@zarn.example",
                     "xpinstall.signatures.required"):
            self.assertIn(part, page)
        with zipfile.ZipFile(os.path.join(self.folder, "zarn-extension-for-testers.zip")) as z:
            self.assertEqual(sorted(z.namelist()), ["zarn-extension-for-testers/_locales/ko/messages.json",
                                                    "zarn-extension-for-testers/manifest.json",
                                                    "zarn-extension-for-testers/sites.js"])
        # A folder without the key would load under an ID no host allows.
        with open(os.path.join(folder, "manifest.json"), "w") as f:
            json.dump({"version": "1.0.0.3"}, f)
        done = run("testers", "--folder", folder, "--xpi", xpi, "--out", self.out)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("no key", done.stderr)


if __name__ == "__main__":
    unittest.main()
