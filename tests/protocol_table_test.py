#!/usr/bin/env python3
"""The protocol's one table (bridge/protocol.table) and what is made of it.

- A method's arity changed in a copy of the table reaches the host's header,
  the extension's script and zarn.js alike: the header compiled and run, the
  scripts run under Node.js.
- The hand-written files of the host, the extension and zarn.js restate none
  of the table: no limit's value given a name of its own, and no method with
  its arity.
- A table that breaks its own rules is refused.

    protocol_table_test.py SOURCE_DIR
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else
                         os.path.join(os.path.dirname(__file__), ".."))
TABLE = os.path.join(SOURCE, "bridge", "protocol.table")
GENERATOR = os.path.join(SOURCE, "cmake", "protocol_table.py")
sys.path.insert(0, os.path.join(SOURCE, "cmake"))
import protocol_table  # noqa: E402

# The hand-written files of the three sides.
HAND_WRITTEN = ["browser/zarn.js", "browser/steps.js", "browser/extension/*.js",
                "bridge/*.cpp", "bridge/*.h"]
# A value bound to a name, in either language: `= 32;`, `: 32,`, `{1,32}` in
# a pattern (never a path's "/reg:32").
BOUND = r"(?:(?:=|:)\s+|\{\d*,)(%s)\s*[;,})]"
# Values that are the table's by chance only, each where it stands.
UNRELATED = [re.compile(r"kMostManifestBytes = 1 << 20;")]
LINKS = "program=https://dl.example/{arch}.msi;chrome=c;edge=e;firefox=f"


def hand_written():
    import glob
    for pattern in HAND_WRITTEN:
        for path in sorted(glob.glob(os.path.join(SOURCE, pattern))):
            yield os.path.relpath(path, SOURCE), open(path, encoding="utf-8").read()


def value_forms(value):
    """The ways a limit's value is written in C++ and JavaScript."""
    forms = [r"\b%d[uU]?\b" % value, r"\b0x%x[uU]?\b" % value]
    for shift in range(1, 32):
        if value % (1 << shift) == 0 and value >> shift in (1, 2, 4, 8, 16, 32, 64):
            forms.append(r"\b%d[uU]?\s*<<\s*%d\b" % (value >> shift, shift))
    if value % (1024 * 1024) == 0:
        forms.append(r"\b%d\s*\*\s*1024\s*\*\s*1024\b" % (value // (1024 * 1024)))
    return forms


class Generated(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="zarn-protocol-")
        self.addCleanup(shutil.rmtree, self.work)

    def mutated(self, old, new):
        text = open(TABLE, encoding="utf-8").read()
        self.assertEqual(len(re.findall(old, text, re.M)), 1, old)
        path = os.path.join(self.work, "protocol.table")
        with open(path, "w", encoding="utf-8") as f:
            f.write(re.sub(old, new, text, flags=re.M))
        return path

    def test_an_arity_changed_in_the_table_reaches_every_side(self):
        table = self.mutated(r"^method DownLoad 3 ", "method DownLoad 2 ")
        # The host: its header, compiled and asked.
        header = os.path.join(self.work, "bridge", "protocol_table.h")
        os.makedirs(os.path.dirname(header))
        subprocess.run([sys.executable, GENERATOR, "header", table, header], check=True)
        probe = os.path.join(self.work, "probe.cpp")
        with open(probe, "w") as f:
            f.write('#include "bridge/protocol_table.h"\n#include <cstdio>\n'
                    "int main() { for (const auto& m : zarn::bridge::kMethods)\n"
                    '  std::printf("%.*s %zu\\n", int(m.name.size()), m.name.data(), m.params); }\n')
        compiler = shutil.which("g++") or shutil.which("x86_64-w64-mingw32-g++-posix")
        self.assertIsNotNone(compiler, "no C++ compiler")
        exe = os.path.join(self.work, "probe.exe" if "mingw" in compiler else "probe")
        subprocess.run([compiler, "-std=c++20", "-I", self.work, probe, "-o", exe], check=True)
        if "mingw" in compiler:
            self.skipTest("the header compiles, but only a cross compiler is here to run it")
        host = dict(line.split() for line in subprocess.run(
            [exe], check=True, capture_output=True, text=True).stdout.splitlines())
        self.assertEqual(host["DownLoad"], "2")
        self.assertEqual(host["UpLoad"], "3")

        # The extension's script.
        script = os.path.join(self.work, "protocol.js")
        subprocess.run([sys.executable, GENERATOR, "js", table, script], check=True)
        seen = subprocess.run(["node", "-e", "require('vm').runInThisContext(require('fs')"
                               ".readFileSync(process.argv[1], 'utf8'));"
                               "console.log(ZarnProtocol.methods.DownLoad.params)", script],
                              check=True, capture_output=True, text=True).stdout.strip()
        self.assertEqual(seen, "2")

        # zarn.js: the page's call sends as many arguments as the table says.
        library = os.path.join(self.work, "zarn.js")
        subprocess.run([sys.executable, os.path.join(SOURCE, "browser", "build_extension.py"),
                        "library", "--source", os.path.join(SOURCE, "browser", "zarn.js"),
                        "--out", library, "--links", LINKS, "--version",
                        os.path.join(SOURCE, "resources", "version.h"), "--protocol", table],
                       check=True)
        page = r"""
            const vm = require("vm"), fs = require("fs");
            const sent = [];
            const context = vm.createContext({ setTimeout, location: { origin: "https://z.example" },
                document: { documentElement: { getAttribute: () => "1" } },
                addEventListener: () => {}, postMessage: (m) => sent.push(m) });
            vm.runInContext(fs.readFileSync(process.argv[1], "utf8"), context);
            const z = vm.runInContext("Zarn", context).open();
            z.DownLoad("a", "b", "c", "d");
            z.UpLoad("a", "b", "c", "d");
            console.log(JSON.stringify(sent.map((m) => [m.method, m.params.length])));
        """
        seen = json.loads(subprocess.run(["node", "-e", page, library], check=True,
                                         capture_output=True, text=True).stdout)
        self.assertEqual(seen, [["DownLoad", 2], ["UpLoad", 3]])

    def test_a_table_that_breaks_its_rules_is_refused(self):
        rows = [
            (r"^method DownLoad 3 thread page$", "method DownLoad 3 elsewhere page", "method NAME"),
            (r"^method DownLoad 3 ", "method DownLoad three ", "not a whole number"),
            (r"^protocol 2 1$", "protocol 1 2", "protocol NEWEST OLDEST"),
            (r"^limit maxCalls 32$", "limit maxCalls 32\nlimit maxCalls 16", "twice"),
            (r"^limit eventWindow \d+$", "", "no limit eventWindow"),
            (r"^error busy$", "error busy\nerror busy", "twice"),
            (r"^error host-gone$", "error Host_Gone", "not a line"),
        ]
        for old, new, why in rows:
            with self.subTest(new=new):
                table = self.mutated(old, new)
                done = subprocess.run([sys.executable, GENERATOR, "json", table],
                                      capture_output=True, text=True)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(why, done.stderr)


class HandWritten(unittest.TestCase):
    table = protocol_table.read(TABLE)

    def test_no_limit_is_given_a_name_of_its_own(self):
        found = []
        for name, value in self.table["limits"].items():
            for form in value_forms(value):
                pattern = re.compile(BOUND % form)
                for path, text in hand_written():
                    for m in pattern.finditer(text):
                        line = text.count("\n", 0, m.start()) + 1
                        whole = text.splitlines()[line - 1]
                        if any(u.search(whole) for u in UNRELATED):
                            continue
                        found.append("%s:%d: %s (the table's %s)" % (path, line, m.group(0), name))
        self.assertEqual(found, [], "restated limits:\n" + "\n".join(found))

    def test_no_method_is_listed_with_its_arity(self):
        found = []
        for method in self.table["methods"]:
            pattern = re.compile(r"""["']?\b%s\b["']?\s*[:,]\s*\d""" % method)
            for path, text in hand_written():
                for m in pattern.finditer(text):
                    line = text.count("\n", 0, m.start()) + 1
                    found.append("%s:%d: %s" % (path, line, m.group(0)))
        self.assertEqual(found, [], "methods with an arity by hand:\n" + "\n".join(found))

    def test_every_code_the_sides_send_is_in_the_table(self):
        # A code written where an error is made: code: "x", ("x", text), ErrorCode::X.
        codes = set(self.table["errors"])
        made = re.compile(r"""code:\s*"([a-z-]+)"|refuse\([^;\n]*?,\s*"([a-z-]+)",\s*(?:say\(|texts\.)|"""
                          r"""makeError\("([a-z-]+)\"""")
        found = []
        for path, text in hand_written():
            for m in made.finditer(text):
                code = next(g for g in m.groups() if g)
                if code not in codes and code not in sum(self.table["errors"].values(), []):
                    found.append("%s: %s" % (path, code))
        self.assertEqual(found, [], "codes the table does not have:\n" + "\n".join(found))

    def test_the_check_finds_a_restated_limit(self):
        # The check itself, on a line written as the old content script had it.
        text = "var maxRequestBytes = 16 * 1024 * 1024;\nvar maxPending = 32;\n"
        hits = [name for name, value in self.table["limits"].items()
                for form in value_forms(value)
                if re.search(BOUND % form, text)]
        self.assertIn("maxRequestBytes", hits)
        self.assertIn("maxCalls", hits)


if __name__ == "__main__":
    unittest.main(verbosity=2)
