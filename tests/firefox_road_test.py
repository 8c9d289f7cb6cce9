#!/usr/bin/env python3
"""Firefox outside its store: a managed Firefox ESR installs the extension
that tools/publish extension --firefox placed on an https update server, and
updates it from the updates.json there when a newer version is published.

    firefox_road_test.py --dir DIR --source SOURCE --key EXTENSION_KEY

The road as a managed machine takes it:
  - the extension is built by the build's own step (browser/build_extension.py)
    with its update_url on the server, twice, as versions 9.0.0.1 and 9.0.0.2;
    a store signature cannot be had offline, so both are unsigned and the
    profile turns xpinstall.signatures.required off;
  - Debian's nginx serves the web root over TLS with a certificate of a
    throwaway test CA (tests/https_road.py: its "trusted" mode, passing the
    requests on to the update server stand-in), which the policy installs;
  - the policy is the ExtensionSettings one with install_url, in a
    distribution/policies.json beside Firefox: here a folder of our own that
    links Firefox's files and holds its own copy of the program, which
    Firefox takes as its installation folder;
  - the profile checks for add-on updates every few seconds instead of daily.
Each step is checked in what Firefox records (the profile's extensions.json)
and in nginx's log of the requests that came over TLS.
"""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import https_road  # noqa: E402

FIREFOX = "/usr/lib/firefox-esr"
GECKO = "bridge@zarn.example"
ARGS = None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, seconds, step=0.5):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = condition()
        if found:
            return found
        time.sleep(step)
    return condition()


class FirefoxRoad(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.abspath(ARGS.dir)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.port, self.backend = free_port(), free_port()
        self.base = "https://localhost:%d" % self.port
        self.web = os.path.join(self.dir, "www")
        os.makedirs(os.path.join(self.web, "append", "application"))
        self.processes = []
        https_road.make_certificates(os.path.join(self.dir, "certs"))

    def tearDown(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        if getattr(self, "nginx", None):
            self.nginx.stop()

    def start(self, *command, **kw):
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, **kw)
        self.processes.append(process)
        return process

    def extension(self, version):
        """The Firefox package as the build writes it, at `version`, naming
        the server's updates.json as its update_url."""
        out = os.path.join(self.dir, "extension-" + version)
        header = os.path.join(self.dir, "version-%s.h" % version)
        with open(header, "w") as f:
            f.write('#define ZARN_VERSION_TEXT "%s"\n' % version)
        tool = os.path.join(ARGS.source, "browser", "build_extension.py")
        links = ";".join("%s=%s/append/application/extension/testers.html" % (n, self.base)
                         for n in ("chrome", "edge", "firefox"))
        subprocess.run([sys.executable, tool, "build", "--source",
                        os.path.join(ARGS.source, "browser", "extension"), "--out", out,
                        "--sites", self.base, "--key", ARGS.key, "--version", header,
                        "--gecko-id", GECKO, "--links",
                        "program=%s/append/application/ZarnCtrl2-{arch}.msi;%s" % (self.base, links),
                        "--firefox-update-url",
                        self.base + "/append/application/extension/updates.json"], check=True)
        subprocess.run([sys.executable, tool, "pack", "--out", out, "--key", ARGS.key], check=True)
        return os.path.join(out, "zarn-extension.xpi")

    def publish(self, xpi):
        done = subprocess.run([sys.executable, os.path.join(ARGS.source, "tools", "publish"),
                               "extension", "--firefox", "--xpi", xpi, "--url", self.base,
                               "--out", self.web, "--unsigned"], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)

    def managed_firefox(self, profile, home):
        """Firefox's installation folder of our own, with the policy: its own
        program file (Firefox finds its folder from the program's real
        path) and links to the rest."""
        app = os.path.join(self.dir, "firefox")
        os.makedirs(os.path.join(app, "distribution"))
        for name in os.listdir(FIREFOX):
            if name == "distribution":
                continue
            if name == "firefox-esr":
                shutil.copy2(os.path.join(FIREFOX, name), os.path.join(app, name))
            else:
                os.symlink(os.path.join(FIREFOX, name), os.path.join(app, name))
        policies = {"policies": {
            "Certificates": {"Install": [os.path.join(self.dir, "certs", "ca.pem")]},
            "ExtensionSettings": {GECKO: {
                "installation_mode": "force_installed",
                "install_url": self.base + "/append/application/extension/zarn-extension.xpi"}},
            "DisableAppUpdate": True}}
        with open(os.path.join(app, "distribution", "policies.json"), "w") as f:
            json.dump(policies, f)
        os.makedirs(profile)
        os.makedirs(home)
        with open(os.path.join(profile, "user.js"), "w") as prefs:
            for name, value in (("xpinstall.signatures.required", "false"),
                                # Add-on update checks every few seconds, the first at once.
                                ("extensions.update.interval", "5"),
                                ("app.update.timerFirstInterval", "1000"),
                                ("app.update.timerMinimumDelay", "1"),
                                ("browser.shell.checkDefaultBrowser", "false"),
                                ("datareporting.policy.dataSubmissionEnabled", "false")):
                prefs.write('user_pref("%s", %s);\n' % (name, value))
        return os.path.join(app, "firefox-esr")

    def recorded(self, profile):
        """Our add-on as the profile's extensions.json records it, if there."""
        try:
            with open(os.path.join(profile, "extensions.json"), encoding="utf-8") as f:
                addons = json.load(f).get("addons", [])
        except (OSError, ValueError):
            return None
        return next((a for a in addons if a.get("id") == GECKO), None)

    def served(self):
        """The paths nginx answered over TLS, in order."""
        try:
            with open(os.path.join(self.dir, "access.log")) as f:
                return [line.split('"')[1].split()[1] for line in f if '"' in line]
        except OSError:
            return []

    def test_policy_installs_and_updates_from_the_https_server(self):
        first, second = self.extension("9.0.0.1"), self.extension("9.0.0.2")
        with open(os.path.join(os.path.dirname(first), "firefox", "manifest.json")) as f:
            gecko = json.load(f)["browser_specific_settings"]["gecko"]
        self.assertEqual(gecko["update_url"], self.base + "/append/application/extension/updates.json")
        self.publish(first)

        self.start(sys.executable, os.path.join(ARGS.source, "tools", "updateserver", "updateserver.py"),
                   "serve", "--root", os.path.join(self.web, "append", "application"),
                   "--log", os.path.join(self.dir, "requests"), "--port", str(self.backend),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.makedirs(os.path.join(self.dir, "requests"))
        self.nginx = https_road.Server(self.dir, self.port, self.backend)
        self.assertTrue(self.nginx.switch("trusted"), "nginx did not start")

        profile, home = os.path.join(self.dir, "profile"), os.path.join(self.dir, "home")
        firefox = self.managed_firefox(profile, home)
        self.start(firefox, "--headless", "--no-remote", "--profile", profile, "about:blank",
                   env=dict(os.environ, HOME=home, MOZ_CRASHREPORTER_DISABLE="1"),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        installed = wait_for(lambda: (lambda a: a if a and a.get("active") else None)(
            self.recorded(profile)), 120)
        self.assertIsNotNone(installed, "the policy did not install the extension within 120 s; "
                             "nginx served %s" % self.served())
        self.assertEqual(installed.get("version"), "9.0.0.1")
        self.assertEqual(installed.get("sourceURI"),
                         self.base + "/append/application/extension/zarn-extension.xpi")
        self.assertEqual(installed.get("updateURL"),
                         self.base + "/append/application/extension/updates.json")

        self.publish(second)
        updated = wait_for(lambda: (lambda a: a if a and a.get("version") == "9.0.0.2"
                                    and a.get("active") else None)(self.recorded(profile)), 120)
        self.assertIsNotNone(updated, "no update to 9.0.0.2 within 120 s; recorded %s; nginx served %s"
                             % (self.recorded(profile), self.served()))
        served = self.served()
        self.assertIn("/append/application/extension/updates.json", served)
        self.assertIn("/append/application/extension/firefox/zarn-extension-9.0.0.2.xpi", served)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--key", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
