#!/usr/bin/env python3
"""Checks the delivery packages that package/make_packages.py wrote.

  test_packages.py [--release] SOURCE_DIR PACKAGE_DIR [TREES_DIR]

For each architecture, in Wine prefixes copied from one freshly booted
template (so none of them ever ran regsvr32 before):
  - the MSI installs with msiexec /i /qn (exit 0) and writes exactly the keys
    and values regsvr32 writes in another fresh prefix, the 32-bit ones under
    WOW6432Node, paths aside;
  - that architecture's cscript then creates the control by ProgID and calls it;
  - the bridge host is registered for Chrome, Edge and Firefox in the
    package's own registry view: each value names an installed manifest whose
    host is the installed zarn-bridge.exe (which answers hello with its
    architecture) and whose extension IDs are the ones the tree's build
    derives from its extension key (TREES_DIR/ARCH, default SOURCE_DIR/build);
  - the installed host's --diagnose finds no problem there, and flags a
    squatting registration under HKCU, each fault on a line of its own;
  - Chrome's and Edge's external-extension entries are there, in the 32-bit
    view, exactly when the tree names the extension's store IDs: a second
    MSI of the same files with store IDs writes them and its removal takes
    them away, and one with a Chrome Web Store ID alone offers Edge that;
  - msiexec /x leaves none of those keys and values and no file;
  - the CAB holds the module and the INF, whose class ID and FileVersion are the
    module's; followed by hand (regsvr32 of the extracted module for x86, the
    hook's msiexec for x64: Wine has no code-download service that reads an
    INF) it gives a working control.
Upgrades, for each architecture, with the packages of the next version
made by scripts/package --version from the same trees (which are built back
afterwards): the product version orders every release; a newer MSI over
this one, while a host of it runs, leaves one product with the newer files
and registrations and nothing of the old, having ended that host and no
other; this MSI over the newer one, installed directly or by that upgrade,
is refused with its message; uninstalling while a host runs leaves no file
and no key; msiexec /i again puts back a deleted host.
Signatures are checked on Linux (osslsigncode against the test CA), never with
Wine's WinVerifyTrust, which accepts what it should not. The page must name
the module's class ID and version. Test packages (without --release) must
say "(TEST)" in the MSIs' product names and the page's title, release
packages nowhere; and scripts/package --release must refuse inputs that are
missing or test material, before it builds anything. Exits 1 when any check
fails.
"""
import filecmp
import json
import ntpath
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

# The package maker's own steps, for the MSI variants made here.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_packages  # noqa: E402
_TREE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(_TREE, "cmake"))
import protocol_table  # noqa: E402

# The newest protocol the installed host must speak: the table's.
PROTOCOL_NEWEST = protocol_table.read(os.path.join(_TREE, "bridge", "protocol.table"))["protocol"]["newest"]

WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/bin/wine"
WINESERVER = "/usr/lib/wine/wineserver"
PROGID = "WEB_CONTROL.WebControlCtrl.1"

failures = []
RELEASE = False  # checking release packages (--release), not test packages


def check(ok, what, seen=""):
    print(("ok    " if ok else "FAIL  ") + what + (f"  (seen: {seen})" if seen and not ok else ""))
    if not ok:
        failures.append(what)
    return ok


# ---------------------------------------------------------------- the module

def module_version(path):
    return make_packages.module_version(path)


def class_id(source):
    idl = open(os.path.join(source, "resources", "Web_Control.idl"), encoding="utf-8").read()
    found = re.search(r"uuid\(([0-9A-Fa-f-]{36})\)[^\]]*\]\s*coclass\s+Web_Control\b", idl)
    return "{" + found.group(1).upper() + "}"


# ---------------------------------------------------------------- registry files

def _unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        if n == "x":
            digits = re.match(r"[0-9a-fA-F]{1,4}", text[i + 2:]).group(0)
            out.append(chr(int(digits, 16)))
            i += 2 + len(digits)
        else:
            out.append({"n": "\n", "r": "\r", "t": "\t", "0": "\0"}.get(n, n))
            i += 2
    return "".join(out)


def read_hklm(prefix, wanted):
    """The HKLM keys of a prefix whose names `wanted` accepts, as {key: {value
    name: data}}, read from Wine's registry file (the prefix's wineserver must
    have ended)."""
    keys, current = {}, None
    text = open(os.path.join(prefix, "system.reg"), encoding="utf-8", errors="replace").read()
    text = text.replace("\\\n  ", "")  # continued hex lines
    for line in text.split("\n"):
        if line.startswith("["):
            name = _unescape(re.match(r"\[(.*)\]", line).group(1))
            current = keys.setdefault(name, {}) if wanted(name.lower()) else None
            continue
        if current is None:
            continue
        m = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)
        if m:
            name = "" if m.group(1) == "@" else _unescape(m.group(2))
            data = m.group(3)
            if data.startswith('"') and data.endswith('"'):
                data = _unescape(data[1:-1])
            current[name] = data
    return keys


def read_classes(prefix):
    """HKLM\\Software\\Classes of a prefix. The installer's own bookkeeping
    under Classes\\Installer is left out."""
    return read_hklm(prefix, lambda name: name.startswith("software\\classes\\") and
                     not name.startswith(("software\\classes\\installer",
                                          "software\\classes\\wow6432node\\installer")))


def added(before, after):
    """What `after` has that `before` lacks: keys as (key, None, None), values
    as (key, name, data)."""
    out = set()
    for key, values in after.items():
        old = before.get(key)
        if old is None:
            out.add((key, None, None))
        for name, data in values.items():
            if old is None or old.get(name) != data:
                out.add((key, name, data))
    return out


def without_paths(entries, folder):
    """Writes the module's folder as <dir>, in any letter case; a value that is
    the folder alone reads <dir> with or without its final backslash."""
    pattern = re.compile(re.escape(folder.rstrip("\\")), re.I)

    def strip(data):
        data = pattern.sub("<dir>", data)
        return "<dir>" if data == "<dir>\\" else data

    return {(k, n, strip(d) if d else d) for k, n, d in entries}


# ---------------------------------------------------------------- Wine

class Prefix:
    def __init__(self, root, name, template, env):
        self.path = os.path.join(root, name)
        shutil.rmtree(self.path, ignore_errors=True)
        # A booted prefix holds over a gigabyte of system modules that no
        # check changes: those are hard links. Small files (the registry,
        # settings files), which Wine may rewrite in place, are real copies.
        def link_or_copy(src, dst):
            if os.path.getsize(src) >= 64 * 1024 and not src.endswith(".reg"):
                os.link(src, dst)
            else:
                shutil.copy2(src, dst)

        shutil.copytree(template, self.path, symlinks=True, copy_function=link_or_copy)
        self.env = dict(env, WINEPREFIX=self.path)

    def run(self, bits, program, *args, timeout=180):
        """Runs a system program of the given bitness; returns (exit code, output)."""
        loader = WINE64 if bits == 64 else WINE32
        exe = program if bits == 64 else f"C:\\windows\\syswow64\\{program}"
        start = time.monotonic()
        try:
            r = subprocess.run([loader, exe, *args], env=self.env, capture_output=True,
                               timeout=timeout)
        except subprocess.TimeoutExpired:
            return None, "timed out"
        finally:
            print(f"      {os.path.basename(self.path)}: {program} {' '.join(args)}"
                  f" ({time.monotonic() - start:.1f} s)")
        return r.returncode, (r.stdout + r.stderr).decode("utf-8", "replace").strip()

    def settle(self):
        """Waits for the prefix's wineserver to end, which writes the registry out."""
        start = time.monotonic()
        subprocess.run([WINESERVER, "-w"], env=self.env)
        print(f"      {os.path.basename(self.path)}: wineserver ended"
              f" ({time.monotonic() - start:.1f} s)")

    def unix(self, windows_path):
        drive = os.path.join(self.path, "drive_c")
        return os.path.join(drive, *windows_path[3:].split("\\"))

    def classes(self):
        self.settle()
        return read_classes(self.path)


SCRIPT = r"""
var ctl = new ActiveXObject("%s");
var result = ctl.SelectComplete("C:\\a.txt", "12", "-1");
ctl.CheckInstall();
WScript.Echo("created and called: SelectComplete returned " + result);
""" % PROGID


def script_works(prefix, bits, label):
    path = prefix.unix("C:\\users\\Public\\zarn_check.js")
    with open(path, "w") as js:
        js.write(SCRIPT)
    code, out = prefix.run(bits, "cscript.exe", "//nologo", "C:\\users\\Public\\zarn_check.js")
    check(code == 0 and "returned 0" in out,
          f"{label}: {bits}-bit cscript creates {PROGID} and calls it", f"exit {code}: {out}")


# ---------------------------------------------------------------- the bridge host

HOST_NAME = "com.zarn.bridge"
# Each browser's key under HKLM\Software (of a registry view), and the manifest
# its value must name: the Chromium one, or Firefox's.
HOST_KEYS = (("Google\\Chrome", "zarn-bridge.json"), ("Microsoft\\Edge", "zarn-bridge.json"),
             ("Mozilla", "zarn-bridge.firefox.json"))
HOST_FILES = ("zarn-bridge.exe", "zarn-bridge.json", "zarn-bridge.firefox.json")


def host_keys(view):
    return {f"Software\\{view}{vendor}\\NativeMessagingHosts\\{HOST_NAME}": manifest
            for vendor, manifest in HOST_KEYS}


def built_for(tree):
    """What a tree's build gives the host manifests and the host: the Chromium
    origins derived here from its extension key (plus its store IDs), its
    Firefox gecko ID, and a site its host allows (for hello)."""
    cache = dict(re.findall(r"^(ZARN_\w+):\w+=(.*)$",
                            open(os.path.join(tree, "CMakeCache.txt"), encoding="utf-8").read(), re.M))
    key = cache.get("ZARN_EXTENSION_KEY", "")
    r = subprocess.run(["python3", os.path.join(SOURCE, "browser", "build_extension.py"), "id",
                        "--key", key], capture_output=True, text=True)
    ids = [r.stdout.strip()] if key and r.returncode == 0 else []
    ids += [i for i in cache.get("ZARN_STORE_EXTENSION_IDS", "").split(";") if i]
    ids += [cache.get(name, "") for name in make_packages.STORE_SETTINGS if cache.get(name, "")]
    ids = list(dict.fromkeys(ids))
    sites = cache.get("ZARN_ALLOWED_SITES", "") or \
        re.match(r"([^/]*//[^/]*)", cache.get("ZARN_UPDATE_SERVER", "")).group(1)
    site = sites.split(";")[0].replace("://*.", "://www.")
    return [f"chrome-extension://{i}/" for i in ids], [cache.get("ZARN_FIREFOX_EXTENSION_ID")], site


def host_hello(prefix, bits, host, caller, site):
    """Starts the host as a browser does (pipes, the caller as its argument),
    asks hello and closes its input; returns the reply, or why there is none."""
    request = json.dumps({"id": 1, "origin": site, "method": "hello", "params": []}).encode()
    try:
        r = subprocess.run([WINE64 if bits == 64 else WINE32, host, caller], env=prefix.env,
                           input=struct.pack("<I", len(request)) + request,
                           capture_output=True, timeout=120)
    except subprocess.TimeoutExpired:
        return "no reply within 120 s"
    if len(r.stdout) < 4:
        return f"exit {r.returncode}, {len(r.stdout)} bytes out"
    size = struct.unpack_from("<I", r.stdout)[0]
    try:
        return json.loads(r.stdout[4:4 + size])
    except ValueError:
        return r.stdout[:200]


def run_host(prefix, bits, host, *args):
    """Starts the host as a person does, with arguments and no input;
    returns (exit code, its output)."""
    try:
        r = subprocess.run([WINE64 if bits == 64 else WINE32, host, *args], env=prefix.env,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    except subprocess.TimeoutExpired:
        return None, "timed out"
    return r.returncode, r.stdout.decode("utf-8", "replace")


def check_diagnosis(prefix, arch, folder, tree):
    """--diagnose of the installed host: a clean install has no problem and
    each browser starts the package's host; a registration for the user
    (HKCU) shadows it, and each of its faults is flagged on a line that
    begins with "Problem:"."""
    bits = 64 if arch == "x64" else 32
    host = folder + "\\zarn-bridge.exe"
    view = "64-bit view" if bits == 64 else "32-bit view"
    code, text = run_host(prefix, bits, host, "--version")
    check(code == 0 and re.fullmatch(r"zarn-bridge\.exe \d+\.\d+\.\d+\.\d+, protocol \d+( to \d+)?, "
                                     + arch + r"\s*", text) is not None,
          f"{arch}: --version prints the version, the protocol range and the architecture", text)
    code, text = run_host(prefix, bits, host, "--diagnose")
    problems = [line for line in text.splitlines() if line.startswith("Problem:")]
    starts = {b: re.search(r"^  \d\. HKLM\\Software\\%s\\NativeMessagingHosts\\com\.zarn\.bridge "
                           r"\(%s\): (.*?)  <- %s starts this one$" % (re.escape(v), view, b), text, re.M)
              for b, v in (("Chrome", "Google\\Chrome"), ("Edge", "Microsoft\\Edge"),
                           ("Firefox", "Mozilla"))}
    check(code == 0 and not problems and all(starts.values()) and "No problems found." in text,
          f"{arch}: --diagnose on a clean install: no problem, each browser starts the package's "
          "host from HKLM in its own view", f"exit {code}: {problems or text[-1500:]}")
    check(f"Install folder of the transfer programs: C:\\Program Files (x86)\\Zarn\\" in text
          and "Zarn_download.exe: not there yet" in text,
          f"{arch}: --diagnose names the install folder and says the transfer programs are not there yet",
          text[:600])

    # A squatter: the user's Chrome entry names a manifest beside an unsigned
    # host that allows another extension; the user's Edge entry names a
    # manifest that does not exist.
    squat = "C:\\users\\Public\\squat"
    os.makedirs(prefix.unix(squat), exist_ok=True)
    shutil.copyfile(os.path.join(tree, "zarn-bridge.exe"), prefix.unix(squat + "\\zarn-bridge.exe"))
    with open(prefix.unix(squat + "\\zarn-bridge.json"), "w", encoding="utf-8") as f:
        json.dump({"name": HOST_NAME, "path": "zarn-bridge.exe", "type": "stdio",
                   "allowed_origins": ["chrome-extension://" + "p" * 32 + "/"]}, f)
    user_keys = {"Chrome": f"HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\{HOST_NAME}",
                 "Edge": f"HKCU\\Software\\Microsoft\\Edge\\NativeMessagingHosts\\{HOST_NAME}"}
    prefix.run(bits, "reg.exe", "add", user_keys["Chrome"], "/ve", "/d", squat + "\\zarn-bridge.json", "/f")
    prefix.run(bits, "reg.exe", "add", user_keys["Edge"], "/ve", "/d", squat + "\\gone.json", "/f")
    code, text = run_host(prefix, bits, host, "--diagnose")
    problems = [line for line in text.splitlines() if line.startswith("Problem:")]
    wanted = {
        "Chrome's user entry shadows the package's":
            r"^Problem: Chrome starts the host registered for this user at HKCU\\.*: delete that key",
        "its host carries no signature":
            r"^Problem: Chrome: HKCU\\.* whose host .*squat\\zarn-bridge\.exe carries no signature",
        "its manifest does not name the built extension":
            r"^Problem: Chrome: HKCU\\.* does not name the extension chrome-extension://",
        "Edge's user entry names a missing manifest":
            r"^Problem: Edge: HKCU\\.*gone\.json, which does not exist: delete that key",
        "Edge's user entry shadows the package's":
            r"^Problem: Edge starts the host registered for this user at HKCU\\",
    }
    for what, pattern in wanted.items():
        check(any(re.search(pattern, line) for line in problems),
              f"{arch}: --diagnose with a squatting HKCU entry flags it: {what}", problems or text[-1500:])
    check(code == 1 and len(problems) == len(wanted) and not any("Firefox" in p for p in problems),
          f"{arch}: --diagnose with a squatting HKCU entry exits 1 with those {len(wanted)} problems alone",
          f"exit {code}: {problems}")
    for key in user_keys.values():
        prefix.run(bits, "reg.exe", "delete", key, "/f")
    shutil.rmtree(prefix.unix(squat), ignore_errors=True)


def check_host_installed(out, prefix, arch, folder, tree):
    """The registration of an installed package (its prefix settled): the
    three keys in the package's own view, none in the other, each naming a
    manifest beside the module whose host is the installed, signed host and
    whose IDs are the build's."""
    bits = 64 if arch == "x64" else 32
    own, other = ("", "Wow6432Node\\") if bits == 64 else ("Wow6432Node\\", "")
    hklm = {k.lower(): v for k, v in
            read_hklm(prefix.path, lambda name: "\\nativemessaginghosts\\" in name).items()}
    chromium, firefox, site = built_for(tree)
    check(chromium and all(firefox), f"{arch}: the tree's build names its extension IDs",
          (chromium, firefox))
    host_path = None
    for key, manifest_name in host_keys(own).items():
        value = hklm.get(key.lower(), {}).get("")
        wrong = []
        manifest = {}
        if value is None or value.lower() != f"{folder}\\{manifest_name}".lower():
            wrong.append(f"value {value!r}")
        else:
            try:
                manifest = json.load(open(prefix.unix(value), encoding="utf-8"))
            except (OSError, ValueError) as error:
                wrong.append(f"manifest: {error}")
        if manifest:
            path = manifest.get("path", "")
            host_path = path if ntpath.isabs(path) else ntpath.join(ntpath.dirname(value), path)
            if not (os.path.isfile(prefix.unix(host_path)) and filecmp.cmp(
                    prefix.unix(host_path), os.path.join(out, arch, "zarn-bridge.exe"), shallow=False)):
                wrong.append(f"path {path!r} is not the signed host")
            if manifest.get("name") != HOST_NAME or manifest.get("type") != "stdio":
                wrong.append(f"name {manifest.get('name')!r}, type {manifest.get('type')!r}")
            ids = ("allowed_extensions", firefox) if "firefox" in manifest_name else \
                ("allowed_origins", chromium)
            if manifest.get(ids[0]) != ids[1]:
                wrong.append(f"{ids[0]} {manifest.get(ids[0])} where the build has {ids[1]}")
        check(not wrong, f"{arch}: HKLM\\{key} names {manifest_name} beside the module, whose host "
              "is the installed zarn-bridge.exe and whose IDs are the build's", "; ".join(wrong))
    strays = [k for k in host_keys(other) if k.lower() in hklm]
    check(not strays, f"{arch}: nothing in the other registry view", strays)
    if host_path:
        reply = host_hello(prefix, bits, host_path, chromium[0] if chromium else "", site)
        result = reply.get("result", {}) if isinstance(reply, dict) else {}
        check(isinstance(result, dict) and result.get("protocol") == PROTOCOL_NEWEST and
              result.get("arch") == arch,
              f"{arch}: the installed host, started through its manifest's path, answers hello "
              f"as {arch}", reply)


CHROME_STORE = "https://clients2.google.com/service/update2/crx"
EDGE_STORE = "https://edge.microsoft.com/extensionwebstorebase/v1/crx"
# Store IDs for the variant packages (any 32 letters a to p will do).
STORE_IDS = ("a" * 16 + "b" * 16, "c" * 16 + "d" * 16)


def offers_expected(chrome, edge):
    """Chrome's and Edge's external-extension entries for the store IDs, as
    {key under HKLM: update_url}: in the 32-bit view, which a 64-bit Windows
    (and Wine's win64 prefix) keeps under Wow6432Node; Edge takes the Chrome
    Web Store's extension when it has no ID of its own."""
    view = "Software\\Wow6432Node\\"
    entries = {}
    if chrome:
        entries[f"{view}Google\\Chrome\\Extensions\\{chrome}"] = CHROME_STORE
    if edge or chrome:
        entries[f"{view}Microsoft\\Edge\\Extensions\\{edge or chrome}"] = EDGE_STORE if edge else CHROME_STORE
    return entries


def offers_found(prefix):
    """Every external-extension entry of Chrome and Edge in either view."""
    prefix.settle()
    keys = read_hklm(prefix.path, lambda name: re.search(
        r"\\(google\\chrome|microsoft\\edge)\\extensions\\[^\\]+$", name) is not None)
    return {k: v.get("update_url") for k, v in keys.items()}


def same_entries(found, expected):
    return {k.lower(): v for k, v in found.items()} == {k.lower(): v for k, v in expected.items()}


def check_offer_variants(out, root, prefix, arch):
    """MSIs of the package's own signed files with store IDs: installed, the
    one with both IDs writes exactly Chrome's and Edge's entries in the
    32-bit view, and its removal takes them away; the one with a Chrome Web
    Store ID alone offers Edge that extension from that store (its Registry
    table is enough to tell)."""
    bits = 64 if arch == "x64" else 32
    version = module_version(os.path.join(out, arch, "ZarnCtrl2.ocx"))
    cert, key, _ = make_packages.signing_identity(out)
    work = os.path.join(root, f"offer-{arch}")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for name in ("ZarnCtrl2.ocx",) + make_packages.BRIDGE_FILES + (make_packages.END_HOSTS,):
        shutil.copyfile(os.path.join(out, arch, name), os.path.join(work, name))
    marking = "" if RELEASE else make_packages.MARKING

    chrome_only = os.path.join(work, "chrome-only.msi")
    make_packages.make_msi(SOURCE, work, chrome_only, arch, version, marking, (STORE_IDS[0], ""),
                           cert, key)
    r = subprocess.run(["msiinfo", "export", chrome_only, "Registry"], capture_output=True, text=True)
    rows = {}
    for line in r.stdout.splitlines()[3:]:
        fields = line.split("\t")
        if len(fields) == 6 and "\\Extensions\\" in fields[2]:
            rows["Software\\Wow6432Node\\" + fields[2][len("Software\\"):]] = fields[4]
    check(same_entries(rows, offers_expected(STORE_IDS[0], "")),
          f"{arch}: with a Chrome Web Store ID alone, the MSI offers that extension to Chrome and "
          "Edge, from the Chrome Web Store", rows)

    both = os.path.join(work, "both.msi")
    make_packages.make_msi(SOURCE, work, both, arch, version, marking, STORE_IDS, cert, key)
    shutil.copyfile(both, prefix.unix("C:\\zarn-offer.msi"))
    code, text = prefix.run(bits, "msiexec.exe", "/i", "C:\\zarn-offer.msi", "/qn")
    check(code == 0, f"{arch}: an MSI with store IDs installs", f"{code} {text}")
    found = offers_found(prefix)
    check(same_entries(found, offers_expected(*STORE_IDS)),
          f"{arch}: an MSI with store IDs writes Chrome's and Edge's external-extension entries, in "
          "the 32-bit view alone", found)
    if arch == "x86":
        # The x64 package beside it, as on a machine with both: the entries
        # are one component of both, so removing one package leaves them.
        other = os.path.join(root, "offer-x64", "both.msi")
        shutil.copyfile(other, prefix.unix("C:\\zarn-offer-x64.msi"))
        code, text = prefix.run(64, "msiexec.exe", "/i", "C:\\zarn-offer-x64.msi", "/qn")
        check(code == 0, "x64 beside x86: an MSI with store IDs installs", f"{code} {text}")
        code, text = prefix.run(64, "msiexec.exe", "/x", "C:\\zarn-offer-x64.msi", "/qn")
        found = offers_found(prefix)
        check(code == 0 and same_entries(found, offers_expected(*STORE_IDS)),
              "x64 beside x86: removing one package leaves the entries to the other", f"{code} {found}")
    code, text = prefix.run(bits, "msiexec.exe", "/x", "C:\\zarn-offer.msi", "/qn")
    check(code == 0 and not offers_found(prefix),
          f"{arch}: removing the MSI with store IDs removes those entries", f"{code} {text}")


def check_host_removed(prefix, arch, folder):
    hklm = {k.lower(): v for k, v in
            read_hklm(prefix.path, lambda name: "\\nativemessaginghosts\\" in name).items()}
    left = [k for view in ("", "Wow6432Node\\") for k in host_keys(view) if k.lower() in hklm]
    check(not left, f"{arch}: after msiexec /x no browser's key for the host is left", left)
    files = [f for f in HOST_FILES if os.path.exists(prefix.unix(f"{folder}\\{f}"))]
    check(not files, f"{arch}: after msiexec /x the host and its manifests are gone", files)


# ---------------------------------------------------------------- checks

def check_signatures(out):
    # A real certificate's chain is checked against its own root.
    ca = os.environ.get("ZARN_SIGN_CAFILE") or os.path.join(out, "test-ca.crt")
    files = [os.path.join(out, a, f) for a in ("x86", "x64")
             for f in ("ZarnCtrl2.ocx", "zarn-bridge.exe")] + \
            [os.path.join(out, f"ZarnCtrl2-{a}.{e}") for a in ("x86", "x64") for e in ("cab", "msi")]
    for path in files:
        name = os.path.relpath(path, out)
        r = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", path],
                           capture_output=True, text=True)
        check(r.returncode == 0 and "SHA256" in r.stdout,
              f"{name}: SHA-256 signature verifies against {os.path.basename(ca)}", r.stdout[-300:])
        data = bytearray(open(path, "rb").read())
        data[len(data) // 2] ^= 0x01
        with tempfile.NamedTemporaryFile(suffix=os.path.splitext(path)[1]) as flipped:
            flipped.write(data)
            flipped.flush()
            r = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", flipped.name],
                               capture_output=True, text=True)
        check(r.returncode != 0, f"{name}: a copy with one byte flipped fails verification")


def read_inf(text):
    sections, current = {}, None
    for line in text.splitlines():
        line = line.split(";", 1)[0].strip()
        if line.startswith("["):
            current = sections.setdefault(line.strip("[]").lower(), {})
        elif "=" in line and current is not None:
            k, v = line.split("=", 1)
            current[k.strip().lower()] = v.strip()
    return sections


def check_cab(out, arch, work, clsid, version):
    cab = os.path.join(out, f"ZarnCtrl2-{arch}.cab")
    listing = subprocess.run(["gcab", "-t", cab], capture_output=True, text=True).stdout.split()
    check({"ZarnCtrl2.ocx", "ZarnCtrl2.inf"} <= set(listing),
          f"ZarnCtrl2-{arch}.cab lists the module and the INF", listing)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    subprocess.run(["gcab", "-x", "-C", work, cab], check=True, capture_output=True)
    inf = read_inf(open(os.path.join(work, "ZarnCtrl2.inf"), encoding="ascii").read())
    entry = inf.get("zarnctrl2.ocx", {})
    check("zarnctrl2.ocx" in inf.get("add.code", {}), f"{arch} INF: [Add.Code] names the module")
    check(entry.get("clsid", "").upper() == clsid, f"{arch} INF: class ID is the module's",
          entry.get("clsid"))
    inf_version = tuple(int(x) for x in entry.get("fileversion", "0").split(","))
    check(inf_version == version and module_version(os.path.join(work, "ZarnCtrl2.ocx")) == version,
          f"{arch} INF: FileVersion is the module's {version}", inf_version)
    if arch == "x86":
        check(entry.get("registerserver", "").lower() == "yes", "x86 INF: RegisterServer=yes")
    return inf


def check_page(out, clsid, version):
    page = open(os.path.join(out, "zarn.html"), encoding="utf-8").read()
    title = re.search(r"<title>(.*?)</title>", page, re.S)
    title = title.group(1) if title else ""
    check(title.endswith(" (TEST)") != RELEASE,
          "zarn.html: the title " + ("has no (TEST)" if RELEASE else "ends in (TEST)"), title)
    obj = re.search(r"<object\s[^>]*>", page, re.S).group(0)
    cid = re.search(r'classid="clsid:([^"]+)"', obj, re.I)
    check(cid and "{" + cid.group(1).upper() + "}" == clsid, "zarn.html: the object's class ID is the module's",
          cid and cid.group(1))
    base = re.search(r'codebase="([^"#]+)#version=([\d,]+)"', obj, re.I)
    check(base and base.group(1) == "ZarnCtrl2-x86.cab"
          and tuple(map(int, base.group(2).split(","))) == version,
          f"zarn.html: codebase is the x86 CAB at the module's version {version}",
          base and base.group(0))
    methods = ("CheckInstall", "DownLoad", "AllowPopUp", "MakeShortCut", "SelectComplete",
               "ShowDlgFile", "ShowDlgFolder", "UpLoad")
    lacking = [m for m in methods if not re.search(r'<button type="button" id="do-%s">' % m, page)]
    check(not lacking, "zarn.html: a button for each of the eight methods", lacking)
    # An inline handler looks names up on its element first: a button's own
    # value property hid the page's value() function.
    inline = re.findall(r"<[^>]*\son[a-z]+\s*=", page, re.I)
    check(not inline, "zarn.html: no inline event handler", inline)
    check('<div id="zarn-status">' in page, "zarn.html: the zarn-status element")
    check(re.search(r'<script[^>]*src="zarn.js"', page) is not None
          and 'on("UpSelectComplete", function (path, size, mode)' in page,
          "zarn.html: calls through zarn.js, its UpSelectComplete handler bound by zarn.on")
    library = os.path.join(out, "zarn.js")
    check(os.path.exists(library), "zarn.js beside zarn.html")
    links = re.search(r"var links = (\{.*\});", open(library, encoding="utf-8").read())
    links = json.loads(links.group(1)) if links else {}
    check(links and all(re.match(r"^https?://", links.get(n, "")) for n in ("program", "chrome", "edge", "firefox"))
          and "{arch}" in links["program"], "zarn.js beside zarn.html carries the build's links", links)


def check_publish(out, root):
    """tools/publish places the signed MSIs beside the release and refuses an
    unsigned one; the update server stand-in serves them at the address the
    pages' "download the program" link names."""
    import socket
    import urllib.request
    web = os.path.join(root, "publish")
    shutil.rmtree(web, ignore_errors=True)
    msis = [os.path.join(out, f"ZarnCtrl2-{a}.msi") for a in ("x64", "x86")]
    # The tests' throwaway release key, which scripts/ make before any build.
    publish = [sys.executable, os.path.join(SOURCE, "tools", "publish"), "program", "--out", web,
               "--key", os.path.join(SOURCE, "build", "keys", "release-private.pem")]
    done = subprocess.run(publish + ["--release", "1", "--msi", msis[0], "--msi", msis[1]],
                          capture_output=True, text=True)
    served = os.path.join(web, "append", "application")
    check(done.returncode == 0 and all(filecmp.cmp(m, os.path.join(served, os.path.basename(m)), shallow=False)
                                       for m in msis), "publish program: both MSIs beside the release",
          done.stderr)
    release = open(os.path.join(served, "program-release.txt"), encoding="ascii").read() \
        if done.returncode == 0 else ""
    check(re.search(r"^kind=program\nrelease=1\nversion=\d+\.\d+\.\d+\.\d+\nx64=ZarnCtrl2-x64\.msi \d+ "
                    r"[0-9a-f]{64}\nx86=ZarnCtrl2-x86\.msi \d+ [0-9a-f]{64}\n$", release),
          "publish program: the signed program release names both MSIs", release)
    unsigned = os.path.join(root, "unsigned", "ZarnCtrl2-x64.msi")
    os.makedirs(os.path.dirname(unsigned), exist_ok=True)
    with open(msis[0], "rb") as f:
        data = f.read().replace("\x05DigitalSignature".encode("utf-16-le"), "\x05Something_Else__".encode("utf-16-le"))
    with open(unsigned, "wb") as f:
        f.write(data)
    done = subprocess.run(publish + ["--release", "2", "--msi", unsigned], capture_output=True, text=True)
    check(done.returncode != 0 and "signature" in done.stderr and
          filecmp.cmp(msis[0], os.path.join(served, "ZarnCtrl2-x64.msi"), shallow=False),
          "publish program: an unsigned MSI is refused and the published one stays", done.stderr)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen([sys.executable, os.path.join(SOURCE, "tools", "updateserver", "updateserver.py"),
                               "serve", "--root", served, "--log", os.path.join(root, "publish-log"),
                               "--port", str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        body, kind = b"", ""
        for _ in range(100):
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/append/application/ZarnCtrl2-x86.msi",
                                            timeout=10) as answer:
                    body, kind = answer.read(), answer.headers.get("Content-Type")
                break
            except OSError:
                time.sleep(0.1)  # the server is still starting
        check(body == open(msis[1], "rb").read() and kind == "application/x-msi",
              "the update server serves the x86 MSI as an MSI", kind)
        # The page for testers, where a test package's extension links lead.
        done = subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "publish"), "testers",
                               "--folder", os.path.join(out, make_packages.TESTERS_FOLDER),
                               "--xpi", os.path.join(out, "zarn-extension.xpi"), "--out", web],
                              capture_output=True, text=True)
        links = make_packages.script_value(open(os.path.join(out, "zarn.js"), encoding="utf-8").read(),
                                           "links") or {}
        ident = open(os.path.join(out, "x64", "zarn-bridge.json"), encoding="utf-8").read()
        ident = re.search(r"chrome-extension://([a-p]{32})/", ident).group(1)
        page, kind = b"", ""
        if not RELEASE and done.returncode == 0:
            path = re.sub(r"^[a-z]+://[^/]+", "", links.get("chrome", "")).split("#")[0]
            with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=10) as answer:
                page, kind = answer.read().decode("utf-8"), answer.headers.get("Content-Type")
        check(RELEASE or (done.returncode == 0 and kind.startswith("text/html") and ident in page
                          and 'href="zarn-extension-for-testers.zip"' in page),
              "publish testers: the page the extension links lead to is served, names the ID the "
              "hosts allow and offers the extension", done.stderr or kind)
    finally:
        server.terminate()
        try:
            server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


def check_xpi(out, root):
    """zarn-extension.xpi is the Firefox form of the extension with its gecko
    ID, and installs as a regular add-on (the profile's, not a temporary
    one) in Firefox ESR, whose settings here allow unsigned add-ons: the
    browser records it active and enabled in the profile's extensions.json."""
    xpi = os.path.join(out, "zarn-extension.xpi")
    try:
        with zipfile.ZipFile(xpi) as z:
            manifest = json.loads(z.read("manifest.json"))
    except (OSError, KeyError, ValueError, zipfile.BadZipFile) as error:
        check(False, "zarn-extension.xpi holds a manifest.json", error)
        return
    gecko = manifest.get("browser_specific_settings", {}).get("gecko", {}).get("id")
    check(bool(gecko) and "scripts" in manifest.get("background", {}) and "key" not in manifest,
          "zarn-extension.xpi: the Firefox manifest form (gecko ID, background scripts, no key)",
          {k: manifest.get(k) for k in ("browser_specific_settings", "background", "key")})
    for name in ("zarn-extension.zip", "zarn-extension.crx"):
        check(os.path.getsize(os.path.join(out, name)) > 0, f"{name} beside the packages")
    firefox = shutil.which("firefox-esr")
    if not gecko or not check(firefox is not None, "Firefox ESR is there to install the .xpi"):
        return
    profile, home = os.path.join(root, "firefox-profile"), os.path.join(root, "firefox-home")
    for folder in (profile, home):
        shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(profile, "extensions"))
    os.makedirs(home)
    # A regular install from the profile's extensions folder, enabled at
    # once, as an unsigned add-on may be where signatures are not required.
    shutil.copyfile(xpi, os.path.join(profile, "extensions", gecko + ".xpi"))
    with open(os.path.join(profile, "user.js"), "w") as prefs:
        for name, value in (("xpinstall.signatures.required", "false"),
                            ("extensions.autoDisableScopes", "0"), ("extensions.enabledScopes", "15"),
                            ("browser.shell.checkDefaultBrowser", "false"),
                            ("datareporting.policy.dataSubmissionEnabled", "false"),
                            ("app.update.disabledForTesting", "true")):
            prefs.write(f'user_pref("{name}", {value});\n')
    browser = subprocess.Popen([firefox, "--headless", "--no-remote", "--profile", profile, "about:blank"],
                               env=dict(os.environ, HOME=home, MOZ_CRASHREPORTER_DISABLE="1"),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    record, addon = os.path.join(profile, "extensions.json"), None
    deadline = time.monotonic() + 120
    try:
        while addon is None and time.monotonic() < deadline and browser.poll() is None:
            try:
                with open(record, encoding="utf-8") as f:
                    addons = json.load(f).get("addons", [])
                addon = next((a for a in addons if a.get("id") == gecko and a.get("active")), None)
            except (OSError, ValueError):
                pass
            if addon is None:
                time.sleep(0.5)
    finally:
        browser.terminate()
        try:
            browser.wait(timeout=30)
        except subprocess.TimeoutExpired:
            browser.kill()
    seen = addon and {k: addon.get(k) for k in ("location", "active", "userDisabled", "appDisabled",
                                                 "signedState", "version")}
    check(addon is not None and addon.get("location") == "app-profile" and not addon.get("userDisabled")
          and not addon.get("appDisabled") and addon.get("version") == manifest.get("version"),
          f"zarn-extension.xpi installs in Firefox ESR as a regular add-on ({gecko}), active",
          seen or "not recorded as active within 120 s")


def check_parts_agree(out):
    """The packages as made: both modules and both hosts carry one update
    server and one site list, which the extension for testers serves and
    whose server the page links; the host manifests allow that extension.
    A test package's extension links lead to the page for testers on that
    server, a release's to the stores."""
    problems = make_packages.disagreements(make_packages.packaged_parts(out))
    check(not problems, "the packages' modules, hosts, extension and page agree", problems)
    servers = make_packages.carried_settings(os.path.join(out, "x64", "zarn-bridge.exe"))["ZARN_UPDATE_SERVER"]
    server = next(iter(servers), "")
    links = make_packages.script_value(open(os.path.join(out, "zarn.js"), encoding="utf-8").read(), "links") or {}
    testers = server + "/append/application/extension/testers.html"
    names = ("chrome", "edge", "firefox")
    if RELEASE:
        check(all(links.get(n) and not make_packages.on_this_machine(make_packages.site_host(links[n]))
                  for n in names), "the page's extension links lead off this machine", links)
    else:
        check(all(links.get(n, "").split("#")[0] == testers for n in names),
              "the page's extension links lead to " + testers, links)


def check_testers_folder(out, root):
    """Chromium loads the unpacked extension for testers (--load-extension)
    under the ID both host manifests allow."""
    import socket
    import urllib.request
    folder = os.path.join(out, make_packages.TESTERS_FOLDER)
    allowed = [json.load(open(os.path.join(out, arch, "zarn-bridge.json"), encoding="utf-8"))
               .get("allowed_origins", []) for arch in ("x64", "x86")]
    chromium = shutil.which("chromium")
    if not check(chromium is not None, "Chromium is there to load the extension for testers"):
        return
    profile = os.path.join(root, "chromium-testers")
    shutil.rmtree(profile, ignore_errors=True)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    browser = subprocess.Popen([chromium, "--headless=new", "--no-sandbox", "--user-data-dir=" + profile,
                                "--remote-debugging-port=%d" % port, "--load-extension=" + folder,
                                "--disable-extensions-except=" + folder, "about:blank"],
                               env=dict(os.environ, HOME=os.path.join(root, "home")),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    found, deadline = set(), time.monotonic() + 60
    try:
        while not found and time.monotonic() < deadline and browser.poll() is None:
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % port, timeout=5) as answer:
                    targets = json.loads(answer.read())
                found = {re.match(r"chrome-extension://([a-p]{32})/", t.get("url", "")).group(1)
                         for t in targets if t.get("url", "").startswith("chrome-extension://")}
            except (OSError, ValueError):
                pass
            if not found:
                time.sleep(0.5)
    finally:
        browser.terminate()
        try:
            browser.wait(timeout=30)
        except subprocess.TimeoutExpired:
            browser.kill()
            browser.wait()
    origins = {"chrome-extension://%s/" % i for i in found}
    check(len(found) == 1 and all(origins <= set(a) for a in allowed),
          f"Chromium loads {make_packages.TESTERS_FOLDER}/ under an ID both host manifests allow",
          f"loaded {sorted(found)}, allowed {allowed}")


def check_page_alone(out, trees):
    """The page a web developer makes without packages is the packages' own."""
    with tempfile.TemporaryDirectory() as alone:
        r = subprocess.run(["python3", os.path.join(SOURCE, "package", "make_packages.py"), "--page",
                            SOURCE, alone, os.path.join(trees, "x86_64")], capture_output=True, text=True)
        same = r.returncode == 0 and all(filecmp.cmp(os.path.join(alone, f), os.path.join(out, f),
                                                     shallow=False) for f in ("zarn.html", "zarn.js"))
    check(same, "make_packages.py --page writes the same zarn.html and zarn.js as the packages",
          r.stdout + r.stderr)


def check_arch(out, arch, root, template, env, tree):
    bits = 64 if arch == "x64" else 32
    folder = "C:\\Program Files\\Zarn" if bits == 64 else "C:\\Program Files (x86)\\Zarn"
    module_path = folder + "\\ZarnCtrl2.ocx"
    baseline = read_classes(template)
    t0 = time.monotonic()

    def rows(table):
        r = subprocess.run(["msiinfo", "export", os.path.join(out, f"ZarnCtrl2-{arch}.msi"), table],
                           capture_output=True, text=True)
        return r.stdout.splitlines()[3:] if r.returncode == 0 else []

    actions = [line.split("\t")[:4] for line in rows("CustomAction")]
    check(not rows("SelfReg") and actions == [["EndHosts", "2", "EndHosts",
                                                 '"[INSTALLDIR]zarn-bridge.exe"']],
          f"{arch}: the MSI has no self-registration and one custom action, EndHosts, which only "
          "ends the running hosts of its folder", rows("SelfReg") + rows("CustomAction"))

    props = dict(line.split("\t", 1) for line in rows("Property") if "\t" in line)
    version = module_version(os.path.join(out, arch, "ZarnCtrl2.ocx"))
    wanted = make_packages.product_version(version)
    check(props.get("ProductVersion") == wanted and props.get("ALLUSERS") == "1",
          f"{arch}: the MSI is a per-machine install of product version {wanted} (file version "
          f"{'.'.join(map(str, version))})", {k: props.get(k) for k in ("ProductVersion", "ALLUSERS")})
    name = props.get("ProductName", "")
    check(name == make_packages.PRODUCT_NAMES[arch] + ("" if RELEASE else make_packages.MARKING),
          f"{arch}: the MSI's product name is the Korean one "
          + ("without (TEST)" if RELEASE else "ending in (TEST)"), name)
    msi_file = os.path.join(out, f"ZarnCtrl2-{arch}.msi")
    summary = subprocess.run(["msiinfo", "suminfo", msi_file], capture_output=True, text=True).stdout
    languages = re.search(r"^Template: (.*)$", summary, re.M)
    codepage = subprocess.run(["msiinfo", "export", msi_file, "_ForceCodepage"], capture_output=True,
                              text=True).stdout
    check(props.get("ProductLanguage") == "1042" and languages and
          languages.group(1).endswith(";1042") and re.search(r"^949\t_ForceCodepage", codepage, re.M),
          f"{arch}: the MSI's language is Korean (1042), its code page 949",
          (props.get("ProductLanguage"), languages and languages.group(1), codepage))

    # What regsvr32 writes, for the module at the place the MSI puts it.
    ref = Prefix(root, f"regsvr32-{arch}", template, env)
    os.makedirs(ref.unix(folder))
    shutil.copyfile(os.path.join(out, arch, "ZarnCtrl2.ocx"), ref.unix(module_path))
    code, text = ref.run(bits, "regsvr32.exe", "/s", module_path)
    check(code == 0, f"{arch}: regsvr32 registers the module in a fresh prefix", f"{code} {text}")
    by_regsvr32 = without_paths(added(baseline, ref.classes()), folder)

    # The MSI in another fresh prefix.
    msi = Prefix(root, f"msi-{arch}", template, env)
    shutil.copyfile(os.path.join(out, f"ZarnCtrl2-{arch}.msi"), msi.unix("C:\\zarn.msi"))
    code, text = msi.run(bits, "msiexec.exe", "/i", "C:\\zarn.msi", "/qn")
    check(code == 0, f"{arch}: msiexec /i /qn returns 0", f"{code} {text}")
    check(os.path.exists(msi.unix(module_path)), f"{arch}: the MSI puts the module at {module_path}")
    by_msi = without_paths(added(baseline, msi.classes()), folder)
    check(len(by_msi) > 30, f"{arch}: the MSI writes the registration ({len(by_msi)} keys and values)")
    check_host_installed(out, msi, arch, folder, tree)
    stores = [make_packages.built_with(tree).get(n, "") for n in make_packages.STORE_SETTINGS]
    found = offers_found(msi)
    check(same_entries(found, offers_expected(*stores)),
          f"{arch}: the MSI's external-extension entries are " +
          ("those of the build's store IDs" if any(stores) else "none, as the build names no store ID"),
          found)
    check_diagnosis(msi, arch, folder, tree)
    if bits == 32:
        # The class keys of a 32-bit module must be in the 32-bit view (ProgIDs,
        # categories and type libraries are shared by both views).
        classes = {k for k, _, _ in by_msi if k.lower().startswith("software\\classes\\clsid\\")}
        check(not classes and any(k.lower().startswith("software\\classes\\wow6432node\\clsid\\")
                                  for k, _, _ in by_msi),
              "x86: the MSI puts the class keys under WOW6432Node", classes)
        # The system's type library registration also puts the interface keys
        # into the 64-bit view, which no 32-bit package can write; a 32-bit
        # control loaded in process never needs them there.
        beyond = {e for e in by_regsvr32 if e[0].lower().startswith("software\\classes\\interface\\")}
        print(f"note  x86: regsvr32 also writes {len(beyond)} interface keys and values in the"
              " 64-bit view, out of a 32-bit MSI's reach; left out of the comparison")
        by_regsvr32 -= beyond
    missing, extra = by_regsvr32 - by_msi, by_msi - by_regsvr32
    check(not missing and not extra,
          f"{arch}: the MSI writes every key and value regsvr32 writes, and nothing else",
          f"regsvr32 only: {sorted(missing, key=str)[:6]}; MSI only: {sorted(extra, key=str)[:6]}")
    script_works(msi, bits, f"{arch} MSI")

    code, text = msi.run(bits, "msiexec.exe", "/x", "C:\\zarn.msi", "/qn")
    check(code == 0, f"{arch}: msiexec /x /qn returns 0", f"{code} {text}")
    after = msi.classes()
    left = by_msi & without_paths(added(baseline, after), folder)
    left_keys = {k for k, _, _ in by_msi} & set(after)
    check(not left and not left_keys, f"{arch}: after msiexec /x none of those keys is left",
          sorted(left_keys)[:6])
    check(not os.path.exists(msi.unix(module_path)), f"{arch}: after msiexec /x the module is gone")
    check_host_removed(msi, arch, folder)
    check_offer_variants(out, root, msi, arch)

    # The CAB, followed as its INF says.
    clsid = class_id(SOURCE)
    version = module_version(os.path.join(out, arch, "ZarnCtrl2.ocx"))
    work = os.path.join(root, f"cab-{arch}")
    inf = check_cab(out, arch, work, clsid, version)
    if arch == "x86":
        # Code download puts the module in Downloaded Program Files and runs
        # DllRegisterServer (RegisterServer=yes): done here by hand.
        dest = "C:\\windows\\Downloaded Program Files"
        os.makedirs(ref.unix(dest), exist_ok=True)
        shutil.copyfile(os.path.join(work, "ZarnCtrl2.ocx"), ref.unix(dest + "\\ZarnCtrl2.ocx"))
        code, text = ref.run(bits, "regsvr32.exe", "/s", dest + "\\ZarnCtrl2.ocx")
        check(code == 0, "x86 CAB: the extracted module registers", f"{code} {text}")
        script_works(ref, bits, "x86 CAB")
    else:
        hook = inf.get(inf.get("zarnctrl2.ocx", {}).get("hook", "").lower(), {})
        run = hook.get("run", "")
        check(run.startswith("msiexec.exe /i ") and "ZarnCtrl2-x64.msi" in run,
              "x64 INF: the hook runs the MSI it carries", run)
        extract = "C:\\windows\\temp\\zarncab"
        shutil.copytree(work, msi.unix(extract))
        args = run.replace("%EXTRACT_DIR%", extract).split()[1:]
        code, text = msi.run(64, "msiexec.exe", *[a.strip('"') for a in args])
        check(code == 0, "x64 CAB: the hook's msiexec returns 0", f"{code} {text}")
        script_works(msi, 64, "x64 CAB")
    for prefix in (ref, msi):
        prefix.settle()
        shutil.rmtree(prefix.path, ignore_errors=True)
    print(f"      ({arch}: {time.monotonic() - t0:.0f} s)")


# ---------------------------------------------------------------- upgrades

def check_product_versions():
    """The MSIs' product version, of which Windows Installer compares three
    fields, orders every pair of file versions as the file versions order,
    across each field's roll-over; versions it cannot order are refused."""
    ordered = ("1.0.0.6", "1.0.0.7", "1.0.0.999", "1.0.1.0", "1.0.64.999", "1.1.0.0",
               "1.255.0.0", "2.0.0.0", "255.255.64.999")
    made = [make_packages.product_version(v) for v in ordered]
    fields = [tuple(int(n) for n in v.split(".")) for v in made]
    check(all(len(f) == 3 for f in fields) and fields == sorted(set(fields)),
          "product versions of three fields order file versions as they order, " +
          " < ".join(ordered), dict(zip(ordered, made)))
    for bad in ("1.0.65.0", "1.0.0.1000", "256.0.0.0", "1.256.0.0", "1.0.0", "1.0.0.x"):
        try:
            seen = make_packages.product_version(bad)
        except ValueError as error:
            seen = None
            why = str(error)
        check(seen is None and bad in why, f"file version {bad} is refused, for the MSIs could not "
              "order it", seen)


def newer_version(version):
    a, b, c, d = version
    return (a, b, c, d + 1) if d < 999 else (a, b, c + 1, 0)


def make_newer(out, root, trees):
    """Packages of the next version from the same trees, made as a publisher
    makes them (scripts/package --version, in the environment the packages
    under test were made in); then the trees are built back at their own
    version. Returns the newer packages' folder, or None."""
    version = module_version(os.path.join(out, "x86", "ZarnCtrl2.ocx"))
    newer = newer_version(version)
    text = ".".join(map(str, newer))
    cache = make_packages.built_with(os.path.join(trees, "x86_64"))
    script = [os.path.join(SOURCE, "scripts", "package")] + (["--release"] if RELEASE else [])
    if not RELEASE:
        script += ["--server", cache.get("ZARN_UPDATE_SERVER", "")]
    folder = os.path.join(root, "newer")
    made = subprocess.run(script + ["--version", text, "--out", folder], capture_output=True, text=True)
    check(made.returncode == 0, f"scripts/package --version {text} makes packages", made.stdout[-800:] +
          made.stderr[-800:])
    back = script + (["--version", cache["ZARN_VERSION"]] if cache.get("ZARN_VERSION") else [])
    again = subprocess.run(back + ["--out", os.path.join(root, "rebuilt")], capture_output=True, text=True)
    shutil.rmtree(os.path.join(root, "rebuilt"), ignore_errors=True)
    if made.returncode != 0:
        return None
    # The trees were built at the original version first: a module or host
    # that a new version did not rebuild would keep that one.
    for arch in ("x86", "x64"):
        carried = {name: module_version(os.path.join(folder, arch, name))
                   for name in ("ZarnCtrl2.ocx", "zarn-bridge.exe")}
        props = dict(line.split("\t", 1) for line in subprocess.run(
            ["msiinfo", "export", os.path.join(folder, f"ZarnCtrl2-{arch}.msi"), "Property"],
            capture_output=True, text=True).stdout.splitlines()[3:] if "\t" in line)
        check(set(carried.values()) == {newer} and
              props.get("ProductVersion") == make_packages.product_version(newer),
              f"{arch}: the {text} MSI carries a module and a host of {text}, rebuilt in the "
              "trees that built the packages under test", (carried, props.get("ProductVersion")))
    rebuilt = {a: module_version(os.path.join(trees, a, "ZarnCtrl2.ocx")) for a in ("x86_64", "i686")}
    check(again.returncode == 0 and set(rebuilt.values()) == {version},
          "the trees are built back at the packages' own version", (again.returncode, rebuilt))
    return folder


def zarn_products(prefix):
    """{product code: (name, version)} of the Zarn products installed in a
    prefix, as Programs and Features lists them (either registry view)."""
    prefix.settle()
    keys = read_hklm(prefix.path, lambda n: re.search(r"\\uninstall\\\{[^\\]*\}$", n) is not None)
    return {k.rsplit("\\", 1)[1]: (v.get("DisplayName", ""), v.get("DisplayVersion"))
            for k, v in keys.items() if v.get("DisplayName", "").startswith("Zarn")}


def installer_entries(prefix, code):
    """Every key of the installer's own records that names a product code
    (its packed form included) in a prefix that has settled."""
    guid = code.strip("{}").split("-")
    packed = (guid[0][::-1] + guid[1][::-1] + guid[2][::-1] +
              "".join(guid[3][i:i + 2][::-1] for i in (0, 2)) +
              "".join(guid[4][i:i + 2][::-1] for i in range(0, 12, 2))).upper()
    found = []
    for key, values in read_hklm(prefix.path, lambda n: "installer" in n or "uninstall" in n).items():
        if packed in key.upper() or code.upper() in key.upper() or packed in map(str.upper, values):
            found.append(key)
    return found


def start_host(prefix, bits, path):
    """A host as a browser leaves it between calls: running, its input open."""
    return subprocess.Popen([WINE64 if bits == 64 else WINE32, path, "chrome-extension://x/"],
                            env=prefix.env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def stop(process):
    if process.poll() is None:
        process.stdin.close()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def refused(prefix, bits, msi, trees, label):
    """Installs `msi` with the basic interface, as a person or the host's
    update does: the installer must refuse, with its message in a message
    box (dialogpress answers it) and exit 1603. Returns whether it did."""
    loader = WINE64 if bits == 64 else WINE32
    installer = subprocess.Popen([loader, "msiexec.exe", "/i", msi, "/qb"], env=prefix.env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        press = subprocess.run([WINE64, os.path.join(trees, "x86_64", "dialogpress.exe"), "--process",
                                "msiexec.exe", "--timeout", "60000", make_packages.DOWNGRADE_MESSAGE],
                               env=prefix.env, capture_output=True, timeout=120)
        code = installer.wait(timeout=120)
    except subprocess.TimeoutExpired:
        installer.kill()
        installer.wait()
        press, code = None, None
    # Wine hands Linux the exit code's low byte: 1603 is 67.
    return check(press is not None and press.returncode == 0 and code == 1603 & 0xFF,
                 f"{label}: refused, the message box saying \"{make_packages.DOWNGRADE_MESSAGE}\"",
                 f"dialogpress {press and press.returncode}, msiexec exit {code}")


def check_upgrades(out, newer, root, template, env, arch, trees):
    """A newer MSI over this one, this one over a newer, a repair and an
    uninstall, each while hosts run, in fresh prefixes of their own."""
    bits = 64 if arch == "x64" else 32
    folder = "C:\\Program Files\\Zarn" if bits == 64 else "C:\\Program Files (x86)\\Zarn"
    host = folder + "\\zarn-bridge.exe"
    marking = "" if RELEASE else make_packages.MARKING
    name = make_packages.PRODUCT_NAMES[arch] + marking
    old_version = module_version(os.path.join(out, arch, "ZarnCtrl2.ocx"))
    new_version = module_version(os.path.join(newer, arch, "ZarnCtrl2.ocx"))
    baseline = read_classes(template)
    tree = os.path.join(trees, "x86_64" if bits == 64 else "i686")

    p = Prefix(root, f"upgrade-{arch}", template, env)
    for label, folder_of in (("old", out), ("new", newer)):
        shutil.copyfile(os.path.join(folder_of, f"ZarnCtrl2-{arch}.msi"), p.unix(f"C:\\{label}.msi"))
    code, text = p.run(bits, "msiexec.exe", "/i", "C:\\old.msi", "/qn")
    before = zarn_products(p)
    check(code == 0 and [v for v in before.values()] ==
          [(name, make_packages.product_version(old_version))],
          f"{arch}: installed, Programs and Features lists the package once, under its Korean name",
          f"exit {code}: {before}")
    old_code = next(iter(before), "")
    registered = without_paths(added(baseline, p.classes()), folder)
    # One host of the package, running between calls, and a copy of it
    # elsewhere (the other package's, a tester's), which is not the
    # package's to end.
    elsewhere = "C:\\users\\Public\\elsewhere\\zarn-bridge.exe"
    os.makedirs(os.path.dirname(p.unix(elsewhere)), exist_ok=True)
    shutil.copyfile(p.unix(host), p.unix(elsewhere))
    # (The registry is read once every Wine process has ended: the hosts
    # are stopped first.)
    hosts = [start_host(p, bits, host), start_host(p, bits, elsewhere)]
    try:
        time.sleep(3)
        running = [h.poll() is None for h in hosts]
        code, text = p.run(bits, "msiexec.exe", "/i", "C:\\new.msi", "/qn")
        time.sleep(1)
        ended = [h.poll() is not None for h in hosts]
        for h in hosts:
            stop(h)
        after = zarn_products(p)
        check(running == [True, True] and code == 0,
              f"{arch}: the newer MSI installs over the older one while a host of it runs, without "
              "waiting for a restart (exit 0, not 3010)", f"hosts running {running}, exit {code}")
        check(list(after.values()) == [(name, make_packages.product_version(new_version))]
              and old_code not in after,
              f"{arch}: after the upgrade Programs and Features lists one product, the newer",
              after)
        left = installer_entries(p, old_code)
        check(not left, f"{arch}: nothing of the older product is left in the installer's records",
              left)
        files = {f: filecmp.cmp(p.unix(folder + "\\" + f), os.path.join(newer, arch, f), shallow=False)
                 for f in ("ZarnCtrl2.ocx",) + make_packages.BRIDGE_FILES}
        check(all(files.values()) and module_version(p.unix(host)) == new_version,
              f"{arch}: the module, the host and its manifests are the newer package's", files)
        check(ended == [True, False],
              f"{arch}: the upgrade ended the running host of its folder, and left the copy "
              "elsewhere running", f"ended {ended}")
        now = without_paths(added(baseline, p.classes()), folder)
        check(now == registered, f"{arch}: after the upgrade the registration is the package's, "
              "no more and no less", f"lost {sorted(registered - now, key=str)[:4]}, "
              f"gained {sorted(now - registered, key=str)[:4]}")
        check_host_installed(newer, p, arch, folder, tree)
        script_works(p, bits, f"{arch} upgraded")

        refused(p, bits, "C:\\old.msi", trees, f"{arch}: the older MSI over the newer one it was "
                "upgraded to")
        after = zarn_products(p)
        check(list(after.values()) == [(name, make_packages.product_version(new_version))] and
              module_version(p.unix(host)) == new_version,
              f"{arch}: after the refusal the newer product is still the one installed", after)

        hosts.append(start_host(p, bits, host))
        time.sleep(3)
        code, text = p.run(bits, "msiexec.exe", "/x", "C:\\new.msi", "/qn")
        time.sleep(1)
        ended = hosts[-1].poll() is not None
        stop(hosts[-1])
        p.settle()
        left_files = os.path.exists(p.unix(folder))
        # What the package registered (other programs, cscript's engine among
        # them, register classes of their own on first use).
        gone_after = without_paths(added(baseline, read_classes(p.path)), folder)
        left_keys = sorted({k for k, _, _ in registered} & {k for k, _, _ in gone_after})
        hklm = read_hklm(p.path, lambda n: "\\nativemessaginghosts\\" in n or
                         re.search(r"\\(google\\chrome|microsoft\\edge)\\extensions\\", n) is not None)
        records = [k for c in after for k in installer_entries(p, c)]
        check(code == 0 and ended and not left_files and not left_keys and not hklm
              and not records and not zarn_products(p),
              f"{arch}: uninstalling while a host runs ends it and leaves no file, folder or key "
              "of the package", f"exit {code}, host ended {ended}, folder left {left_files}, keys "
              f"{left_keys[:4]} {sorted(hklm)[:4]}, records {records[:4]}")
    finally:
        for h in hosts:
            stop(h)

    q = Prefix(root, f"downgrade-{arch}", template, env)
    for label, folder_of in (("old", out), ("new", newer)):
        shutil.copyfile(os.path.join(folder_of, f"ZarnCtrl2-{arch}.msi"), q.unix(f"C:\\{label}.msi"))
    code, text = q.run(bits, "msiexec.exe", "/i", "C:\\new.msi", "/qn")
    check(code == 0, f"{arch}: the newer MSI installs in a fresh prefix", f"exit {code}")
    refused(q, bits, "C:\\old.msi", trees, f"{arch}: the older MSI over a newer one installed directly")
    os.remove(q.unix(host))
    code, text = q.run(bits, "msiexec.exe", "/i", "C:\\new.msi", "/qn")
    products = zarn_products(q)
    check(code == 0 and os.path.exists(q.unix(host)) and
          filecmp.cmp(q.unix(host), os.path.join(newer, arch, "zarn-bridge.exe"), shallow=False)
          and len(products) == 1,
          f"{arch}: installing the same MSI again (msiexec /i) puts back a deleted host",
          f"exit {code}, {products}")
    for prefix in (p, q):
        prefix.settle()
        shutil.rmtree(prefix.path, ignore_errors=True)


def check_manifest_comparison(source):
    """Packages are made only from two trees whose host manifests agree: a
    tree configured with other extension IDs is caught."""
    sys.path.insert(0, os.path.join(source, "package"))
    import make_packages
    with tempfile.TemporaryDirectory() as trees:
        for arch, ids in (("x86_64", "a"), ("i686", "b")):
            os.makedirs(os.path.join(trees, arch))
            for name in ("zarn-bridge.json", "zarn-bridge.firefox.json"):
                with open(os.path.join(trees, arch, name), "w") as f:
                    f.write(ids if name == "zarn-bridge.json" else "same")
        check(make_packages.manifests_disagree(trees) == ["zarn-bridge.json"],
              "host manifests of other extension IDs in the two trees are caught")
        with open(os.path.join(trees, "i686", "zarn-bridge.json"), "w") as f:
            f.write("a")
        check(make_packages.manifests_disagree(trees) == [], "agreeing host manifests pass")


def check_release_refusals(source):
    """scripts/package --release with each kind of input missing or test
    material: it exits 2 before building, naming exactly the inputs refused.
    Inputs that pass for real are made outside build/ in a temporary folder
    (throwaway, deleted at the end): under build/ they would be test material."""
    script = os.path.join(source, "scripts", "package")
    inputs = ("ZARN_UPDATE_KEYS", "ZARN_EXTENSION_KEY", "ZARN_UPDATE_SERVER",
              "ZARN_ALLOWED_SITES", "ZARN_SIGN_CERT", "ZARN_SIGN_KEY")
    base = {k: v for k, v in os.environ.items() if k not in inputs}
    elsewhere = tempfile.mkdtemp(prefix="zarn-release-inputs-")
    quiet = {"check": True, "capture_output": True}
    try:
        real = {
            "ZARN_UPDATE_KEYS": os.path.join(elsewhere, "release-public.pem"),
            "ZARN_EXTENSION_KEY": os.path.join(elsewhere, "extension-private.pem"),
            "ZARN_UPDATE_SERVER": "https://update.zarn.example",
            "ZARN_ALLOWED_SITES": "https://www.zarn.example;https://*.zarn.example",
            "ZARN_SIGN_CERT": os.path.join(elsewhere, "signer.crt"),
            "ZARN_SIGN_KEY": os.path.join(elsewhere, "signer.key"),
        }
        private = os.path.join(elsewhere, "release-private.pem")
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout",
                        "-out", private], **quiet)
        subprocess.run(["openssl", "ec", "-in", private, "-pubout",
                        "-out", real["ZARN_UPDATE_KEYS"]], **quiet)
        subprocess.run(["openssl", "genrsa", "-out", real["ZARN_EXTENSION_KEY"], "2048"], **quiet)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=Zarn release check", "-keyout", real["ZARN_SIGN_KEY"],
                        "-out", real["ZARN_SIGN_CERT"]], **quiet)
        build = os.path.join(source, "build")
        copied = {name: os.path.join(elsewhere, "copied-" + name)
                  for name in ("release-public.pem", "extension-private.pem")}
        for name, path in copied.items():
            shutil.copyfile(os.path.join(build, "keys", name), path)
        cases = [
            ("the throwaway release key, copied out of build/",
             dict(real, ZARN_UPDATE_KEYS=copied["release-public.pem"]), {"ZARN_UPDATE_KEYS"}),
            ("the throwaway extension key, copied out of build/",
             dict(real, ZARN_EXTENSION_KEY=copied["extension-private.pem"]), {"ZARN_EXTENSION_KEY"}),
            ("an http site among https ones", dict(
                real, ZARN_ALLOWED_SITES="https://www.zarn.example;http://www.zarn.example"),
             {"ZARN_ALLOWED_SITES"}),
            ("nothing given", {}, {"ZARN_UPDATE_KEYS", "ZARN_EXTENSION_KEY", "ZARN_UPDATE_SERVER",
                                  "ZARN_ALLOWED_SITES", "ZARN_SIGN_CERT"}),
            ("the throwaway release key", dict(real, ZARN_UPDATE_KEYS=os.path.join(
                build, "keys", "release-public.pem")), {"ZARN_UPDATE_KEYS"}),
            ("the throwaway extension key", dict(real, ZARN_EXTENSION_KEY=os.path.join(
                build, "keys", "extension-private.pem")), {"ZARN_EXTENSION_KEY"}),
            ("a loopback update server", dict(real, ZARN_UPDATE_SERVER="http://127.0.0.1:18086"),
             {"ZARN_UPDATE_SERVER"}),
            ("no site list (the server's site is not named)", dict(real, ZARN_ALLOWED_SITES=""),
             {"ZARN_ALLOWED_SITES"}),
            ("a loopback site among real ones", dict(
                real, ZARN_ALLOWED_SITES="https://www.zarn.example;https://localhost:8443"),
             {"ZARN_ALLOWED_SITES"}),
            ("the test CA's signer", dict(
                real, ZARN_SIGN_CERT=os.path.join(build, "package", "test-ca", "signer.crt"),
                ZARN_SIGN_KEY=os.path.join(build, "package", "test-ca", "signer.key")),
             {"ZARN_SIGN_CERT"}),
            ("a certificate without its key", dict(real, ZARN_SIGN_KEY=""), {"ZARN_SIGN_CERT"}),
        ]
        for label, given, named in cases:
            r = subprocess.run([script, "--release"], env=dict(base, **given),
                               capture_output=True, text=True, timeout=120)
            text = r.stdout + r.stderr
            refused = set(re.findall(r"^   (ZARN_[A-Z_]+): ", text, re.M))
            check(r.returncode == 2 and refused == named and "== building" not in text,
                  f"--release with {label}: refused before building, naming {sorted(named)}",
                  f"exit {r.returncode}, named {sorted(refused)}: {text[-400:]}")
        # The same judge passes the real inputs, so each refusal above is the
        # one input's doing.
        r = subprocess.run(["python3", os.path.join(source, "package", "make_packages.py"),
                            "--check-release", source], env=dict(base, **real),
                           capture_output=True, text=True)
        check(r.returncode == 0, "--release inputs that are all real pass the check",
              r.stdout + r.stderr)
    finally:
        shutil.rmtree(elsewhere, ignore_errors=True)


def korean_env(root):
    """A Korean system (code page 949): the type library's help text is stored
    in that code page, and RegisterTypeLib writes it as the system reads it."""
    locale = os.path.join(root, "locale")
    if not os.path.isdir(os.path.join(locale, "ko_KR.UTF-8")):
        os.makedirs(locale, exist_ok=True)
        subprocess.run(["localedef", "-i", "ko_KR", "-f", "UTF-8",
                        os.path.join(locale, "ko_KR.UTF-8")], check=True)
    return {"LC_ALL": "ko_KR.UTF-8", "LOCPATH": locale}


def main():
    global SOURCE, RELEASE
    args = sys.argv[1:]
    RELEASE = args[:1] == ["--release"]
    args = args[1:] if RELEASE else args
    if len(args) not in (2, 3):
        sys.exit(__doc__)
    SOURCE, out = (os.path.abspath(p) for p in args[:2])
    trees = os.path.abspath(args[2]) if len(args) == 3 else os.path.join(SOURCE, "build")
    root = os.path.join(out, "test")
    os.makedirs(root, exist_ok=True)
    clsid = class_id(SOURCE)
    version = module_version(os.path.join(out, "x86", "ZarnCtrl2.ocx"))

    check_signatures(out)
    check_page(out, clsid, version)
    check_page_alone(out, trees)
    check_xpi(out, root)
    check_parts_agree(out)
    check_testers_folder(out, root)
    check_release_refusals(SOURCE)
    check_manifest_comparison(SOURCE)
    check_publish(out, root)

    env = dict(os.environ, WINEARCH="win64", WINEDEBUG="-all",
               WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d",
               HOME=os.path.join(root, "home"))
    os.makedirs(env["HOME"], exist_ok=True)
    env.update(korean_env(root))
    template = os.path.join(root, "template")
    if not os.path.isdir(os.path.join(template, "drive_c", "windows", "syswow64")):
        shutil.rmtree(template, ignore_errors=True)
        subprocess.run([WINE64, "wineboot", "-i"], env=dict(env, WINEPREFIX=template),
                       capture_output=True)
        subprocess.run([WINESERVER, "-w"], env=dict(env, WINEPREFIX=template))
    for arch, tree in (("x64", "x86_64"), ("x86", "i686")):
        check_arch(out, arch, root, template, env, os.path.join(trees, tree))
    check_product_versions()
    newer = make_newer(out, root, trees)
    if newer:
        for arch in ("x64", "x86"):
            check_upgrades(out, newer, root, template, env, arch, trees)

    print(f"{len(failures)} check(s) failed" if failures else "all package checks passed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
