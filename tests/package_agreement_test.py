#!/usr/bin/env python3
"""The package step's reading of what the built parts carry, on this build's
own module, host, extension and page library (copied, as the two trees of
one package run), and its refusal of parts that disagree: one host built
for another server, a module for other sites, an extension or a page with
other links, a host manifest that does not allow the extension shipped.

    package_agreement_test.py BUILD_DIR
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(SOURCE, "package"))
import make_packages  # noqa: E402

BUILD = None
FILES = ("ZarnCtrl2.ocx", "zarn-bridge.exe", "zarn-bridge.json", "zarn-bridge.firefox.json",
         "zarn.js", "CMakeCache.txt")


def cached(name):
    with open(os.path.join(BUILD, "CMakeCache.txt"), encoding="utf-8") as f:
        return re.search(r"^%s:\w+=(.*)$" % name, f.read(), re.M).group(1)


def other_text(text):
    """`text` with its last digit changed: as long, and not the same."""
    at = max(i for i, c in enumerate(text) if c.isdigit())
    return text[:at] + str((int(text[at]) + 1) % 10) + text[at + 1:]


def rewrite(path, old, new):
    with open(path, "rb") as f:
        data = f.read()
    assert old in data, (path, old)
    with open(path, "wb") as f:
        f.write(data.replace(old, new))


class Agreement(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.trees = self.work.name
        for arch in ("x86_64", "i686"):
            tree = os.path.join(self.trees, arch)
            os.makedirs(tree)
            for name in FILES:
                shutil.copyfile(os.path.join(BUILD, name), os.path.join(tree, name))
        shutil.copytree(os.path.join(BUILD, "extension"), os.path.join(self.trees, "x86_64", "extension"))
        self.server = cached("ZARN_UPDATE_SERVER")
        self.sites = make_packages.carried_settings(os.path.join(BUILD, "ZarnCtrl2.ocx"))[
            "ZARN_ALLOWED_SITES"]

    def tearDown(self):
        self.work.cleanup()

    def path(self, arch, name):
        return os.path.join(self.trees, arch, name)

    def problems(self):
        return make_packages.disagreements(make_packages.built_parts(self.trees))

    def test_the_built_parts_carry_the_builds_settings_and_agree(self):
        for name in ("ZarnCtrl2.ocx", "zarn-bridge.exe"):
            carried = make_packages.carried_settings(os.path.join(BUILD, name))
            self.assertEqual(carried["ZARN_UPDATE_SERVER"], {self.server}, name)
            self.assertEqual(len(carried["ZARN_ALLOWED_SITES"]), 1, name)
        self.assertEqual(self.problems(), [])

    def test_each_disagreement_is_refused_and_named(self):
        server = self.server.encode("utf-16-le")
        other_server = other_text(self.server)
        site = next(iter(self.sites))
        with open(self.path("x86_64", "zarn.js"), encoding="utf-8") as f:
            links = make_packages.script_value(f.read(), "links")
        rows = [
            ("one host built for another server",
             lambda: rewrite(self.path("i686", "zarn-bridge.exe"),
                             b"Z\0A\0R\0N\0_\0U\0P\0D\0A\0T\0E\0_\0S\0E\0R\0V\0E\0R\0=\0" + server,
                             b"Z\0A\0R\0N\0_\0U\0P\0D\0A\0T\0E\0_\0S\0E\0R\0V\0E\0R\0=\0" +
                             other_server.encode("utf-16-le")),
             [r"the update servers differ: .*i686/zarn-bridge\.exe has " + re.escape(other_server)]),
            ("a host of a build before the settings were marked",
             lambda: rewrite(self.path("i686", "zarn-bridge.exe"), "ZARN_UPDATE_SERVER=".encode("utf-16-le"),
                             "ZARN_UPDATE_SERVEX=".encode("utf-16-le")),
             [r"i686/zarn-bridge\.exe carries no ZARN_UPDATE_SERVER"]),
            ("a module for other sites",
             lambda: rewrite(self.path("x86_64", "ZarnCtrl2.ocx"),
                             ("ZARN_ALLOWED_SITES=" + site).encode("utf-16-le"),
                             ("ZARN_ALLOWED_SITES=" + other_text(site)).encode("utf-16-le")),
             [r"the allowed sites differ: .*x86_64/ZarnCtrl2\.ocx has " + re.escape(other_text(site))]),
            ("an extension built for other sites",
             lambda: rewrite(self.path("x86_64", "extension/firefox/sites.js"), b'"port": ',
                             b'"port": 1'),
             [r"the firefox extension serves other sites .* than the modules and hosts allow"]),
            ("a page with other links than the extension's",
             lambda: rewrite(self.path("x86_64", "zarn.js"), links["chrome"].encode(),
                             (links["chrome"] + "x").encode()),
             [r"the chromium extension's links .* are not the page's",
              r"the firefox extension's links .* are not the page's"]),
            ("page and extension linking another update server",
             lambda: [rewrite(p, self.server.encode(), other_server.encode())
                      for p in (self.path("x86_64", "zarn.js"),
                                self.path("x86_64", "extension/chromium/sites.js"),
                                self.path("x86_64", "extension/firefox/sites.js"))],
             [r"the page's %s link .* names another update server than " % name
              for name in sorted(links) if "/append/application/" in links[name]]),
            ("a host manifest that does not allow the extension shipped",
             lambda: rewrite(self.path("i686", "zarn-bridge.json"), b"chrome-extension://",
                             b"chrome-extension://p"),
             [r"i686/zarn-bridge\.json does not allow the shipped extension chrome-extension://"]),
        ]
        for label, spoil, expected in rows:
            with self.subTest(label):
                self.tearDown()
                self.setUp()
                spoil()
                problems = self.problems()
                self.assertEqual(len(problems), len(expected), problems)
                for pattern, problem in zip(expected, problems):
                    self.assertRegex(problem, pattern)

    def test_the_package_step_stops_before_making_anything(self):
        rewrite(self.path("i686", "zarn-bridge.exe"), self.server.encode("utf-16-le"),
                other_text(self.server).encode("utf-16-le"))
        out = os.path.join(self.trees, "package")
        done = subprocess.run([sys.executable, os.path.join(SOURCE, "package", "make_packages.py"),
                               SOURCE, out, self.trees], capture_output=True, text=True)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("refusing to make packages whose parts disagree", done.stderr)
        self.assertIn("i686/zarn-bridge.exe has " + other_text(self.server), done.stderr)
        self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
