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

    def test_writes_the_whole_tree_signed(self):
        icon = os.path.join(self.dir, "icon.ico")
        with open(icon, "wb") as f:
            f.write(b"\0\0\1\0")
        done = self.publish(5, "--icon", icon)
        self.assertEqual(done.returncode, 0, done.stderr)
        package = self.read("install.zip")
        self.assertEqual(self.read("release.txt"),
                         b"release=5\nversion=332e322e310d0a\nsize=70000\nsha256=%s\n"
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


if __name__ == "__main__":
    unittest.main()
