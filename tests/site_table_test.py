#!/usr/bin/env python3
"""The site table (tests/fixtures/site_table.txt) through the two readers of
a site list that run before anything is built: the configure check, which
stops a build whose list has an entry the site rules leave out, and the
package script's judgement of a release's list, which also refuses a site
on this machine or on http."""

import os
import subprocess
import sys
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(SOURCE, "package"))
import make_packages  # noqa: E402


def entries():
    with open(os.path.join(SOURCE, "tests", "fixtures", "site_table.txt"), encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if fields and fields[0] == "entry":
                yield fields[1] == "take", "local" in fields[2:-1], fields[-1]


class SiteTable(unittest.TestCase):
    def test_configure_check_and_release_judgement(self):
        rows = list(entries())
        self.assertGreater(len(rows), 30)
        for take, local, entry in rows:
            with self.subTest(entry=entry):
                done = subprocess.run(["cmake", "-DSITES=" + entry, "-P",
                                       os.path.join(SOURCE, "cmake", "allowed_sites.cmake")],
                                      capture_output=True, text=True)
                self.assertEqual(done.returncode == 0, take, done.stderr)
                if not take:
                    self.assertIn(entry, done.stderr)
                why = make_packages.judge_sites(entry, "")
                release = take and not local and entry.lower().startswith("https://")
                self.assertEqual(why is None, release, why)
                if why:
                    self.assertIn(entry, why)
        # A list is refused for any one entry, and each refused one is named.
        why = make_packages.judge_sites(
            "https://www.zarn.example;http://www.zarn.example;https://a..zarn.example", "")
        self.assertIn("http://www.zarn.example (listed) is not https", why)
        self.assertIn("https://a..zarn.example (listed) is not a site", why)
        self.assertNotIn("https://www.zarn.example ", why)


if __name__ == "__main__":
    unittest.main(verbosity=2)
