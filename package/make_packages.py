#!/usr/bin/env python3
"""Makes the signed delivery packages from the two built modules.

  make_packages.py [--release] SOURCE_DIR OUT_DIR [TREES_DIR]
  make_packages.py --check-release SOURCE_DIR
  make_packages.py --product-version A.B.C.D
  make_packages.py --page SOURCE_DIR OUT_DIR [TREE]

Writes to OUT_DIR: ZarnCtrl2-x86.msi, ZarnCtrl2-x64.msi, ZarnCtrl2-x86.cab,
ZarnCtrl2-x64.cab and zarn.html, with a work folder per architecture, from
the modules of TREES_DIR/i686 and TREES_DIR/x86_64 (default SOURCE_DIR/build).
Each MSI also installs that tree's bridge host, zarn-bridge.exe, and its host
manifests, and registers them for Chrome, Edge and Firefox. When the trees
were configured with the extension's store IDs (ZARN_CHROME_STORE_ID,
ZARN_EDGE_STORE_ID), the MSIs also write Chrome's and Edge's
external-extension entries for them, and nothing of the kind without.
The browser extension goes beside them for each store: zarn-extension.zip
(Chrome and Edge stores), zarn-extension.crx (CRX3, for installs by policy)
and zarn-extension.xpi (Firefox, for signing), from the x86_64 tree, and
for testers the unpacked Chromium form with the build's key, TESTERS_FOLDER,
which Chromium loads with the ID the host manifests allow.
Before anything is made, the parts are read as built: the update server and
sites that both modules and both hosts carry, the sites and links of the
extension, the links of the page library and the extension IDs of the host
manifests. Parts that disagree are refused, each difference named.
Every module, host, CAB and MSI is signed with SHA-256 by osslsigncode: with the
certificate of ZARN_SIGN_CERT and ZARN_SIGN_KEY when both are set, otherwise
with a throwaway test CA made under OUT_DIR/test-ca/ (its certificate is
OUT_DIR/test-ca.crt). ZARN_SIGN_TIMESTAMP, when set, names the RFC 3161
timestamp server for every signature.

Packages made from test material (a key or certificate whose public half is
one of those under SOURCE_DIR/build/, wherever it was copied, an update
server or allowed site on this machine, an allowed site on http, the test
CA's signature) say "(TEST)" at the end of the MSIs'
product name and the page's title, and the reasons are printed. With
--release such material is refused and nothing is written.

--page writes OUT_DIR/zarn.html and zarn.js alone, from the sources: no
module, MSI or CAB is built. Its codebase names the CAB at the version of
resources/version.h, or the tree's ZARN_VERSION when it has one; it is marked "(TEST)" when TREE (a configured build
folder, default SOURCE_DIR/build/x86_64) was configured with test material.

--product-version prints the MSIs' product version for the file version
A.B.C.D (see product_version), or exits 2 saying why it has none.

--check-release judges the inputs of a release build before anything is
built: ZARN_UPDATE_KEYS, ZARN_EXTENSION_KEY, ZARN_UPDATE_SERVER,
ZARN_ALLOWED_SITES, ZARN_SIGN_CERT and ZARN_SIGN_KEY must all be given and none may be test
material. Exits 2, naming each refused input, when one is.
"""
import ipaddress
import json
import os
import re
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "browser"))
import build_extension  # noqa: E402  the site list as the site rules read it

ARCHES = {"x86": "i686", "x64": "x86_64"}
BRIDGE_FILES = ("zarn-bridge.exe", "zarn-bridge.json", "zarn-bridge.firefox.json")
# The program the MSIs run to end the running hosts of their folder before
# they replace or remove them (package/end_hosts.cpp): it goes into the
# MSI's Binary table, not onto the disk.
END_HOSTS = "zarn-end-hosts.exe"
# The MSIs' product names, which Programs and Features shows: the hosts'
# and the modules' own ProductName. wixl stores no text outside ASCII, so
# the Property row is rewritten after it (make_msi).
PRODUCT_NAMES = {"x86": "Zarn 웹 컨트롤", "x64": "Zarn 웹 컨트롤 (64비트)"}
# Korean, as the modules' version resources are; the database's code page
# (949) is set before any Korean text goes in.
MSI_LANGUAGE = 1042
DOWNGRADE_MESSAGE = ("더 새로운 버전의 Zarn 웹 컨트롤이 이미 설치되어 있습니다. "
                     "(A newer version of the Zarn web control is already installed.)")
EXTENSION_FILES = ("zarn-extension.zip", "zarn-extension.crx", "zarn-extension.xpi")
STORE_SETTINGS = ("ZARN_CHROME_STORE_ID", "ZARN_EDGE_STORE_ID")


MARKING = " (TEST)"
RELEASE_INPUTS = ("ZARN_UPDATE_KEYS", "ZARN_EXTENSION_KEY", "ZARN_UPDATE_SERVER",
                  "ZARN_ALLOWED_SITES", "ZARN_SIGN_CERT", "ZARN_SIGN_KEY")


def run(*args, **kw):
    subprocess.run(args, check=True, **kw)


def module_version(path):
    """The file version of a module's version resource, as four numbers.
    VS_FIXEDFILEINFO starts with its signature 0xFEEF04BD, after the
    resource's key "VS_VERSION_INFO" (the code may hold the signature's
    bytes too: the host looks for it in its own resource); the file version
    follows the structure version as two 32-bit halves."""
    data = open(path, "rb").read()
    key = data.find("VS_VERSION_INFO".encode("utf-16-le"))
    at = data.find(struct.pack("<I", 0xFEEF04BD), max(key, 0))
    if at < 0:
        raise SystemExit(f"{path}: no version resource")
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def product_version(file_version):
    """The MSI's product version of the four-field file version A.B.C.D:
    "A.B.N" with N = C * 1000 + D. Windows Installer compares only the first
    three fields of a product version (major and minor at most 255, build at
    most 65535), so the fourth field must be folded into the third for two
    releases that differ in D alone to be told apart. The map keeps the
    order of every pair of file versions it takes: for A and B the fields
    are the same, and with D below 1000, C * 1000 + D orders as (C, D) does.
    Refused (ValueError, saying why) when A or B is above 255, C above 64 or
    D above 999."""
    text = ".".join(map(str, file_version)) if not isinstance(file_version, str) else file_version
    fields = text.split(".")
    if len(fields) != 4 or not all(f.isdigit() and len(f) <= 5 for f in fields):
        raise ValueError(f"{text!r} is not a version A.B.C.D")
    a, b, c, d = map(int, fields)
    for name, value, limit in (("A", a, 255), ("B", b, 255), ("C", c, 64), ("D", d, 999)):
        if value > limit:
            raise ValueError(f"{text}: {name} is above {limit}, so the MSIs' three-field product "
                             f"version cannot order it (docs/administrators.md, Versions)")
    return f"{a}.{b}.{c * 1000 + d}"


def class_id(source):
    idl = open(os.path.join(source, "resources", "Web_Control.idl"), encoding="utf-8").read()
    found = re.search(r"uuid\(([0-9A-Fa-f-]{36})\)[^\]]*\]\s*coclass\s+Web_Control\b", idl)
    return "{" + found.group(1).upper() + "}"


def make_test_ca(out):
    """A throwaway CA and a code-signing certificate it issued, for builds
    without a real certificate. Nothing here is ever committed."""
    ca_dir = os.path.join(out, "test-ca")
    cert, key = os.path.join(ca_dir, "signer.crt"), os.path.join(ca_dir, "signer.key")
    if os.path.exists(cert) and os.path.exists(key):
        return cert, key
    shutil.rmtree(ca_dir, ignore_errors=True)
    os.makedirs(ca_dir)
    with open(os.path.join(ca_dir, "signer.ext"), "w") as ext:
        ext.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                  "extendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\n"
                  "authorityKeyIdentifier=keyid\n")
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650",
        "-subj", "/CN=Zarn test CA (not trusted)/O=Zarn test",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign",
        "-keyout", os.path.join(ca_dir, "ca.key"), "-out", os.path.join(ca_dir, "ca.crt"), **quiet)
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-sha256",
        "-subj", "/CN=Zarn test code signing/O=Zarn test",
        "-keyout", key, "-out", os.path.join(ca_dir, "signer.csr"), **quiet)
    run("openssl", "x509", "-req", "-in", os.path.join(ca_dir, "signer.csr"), "-sha256",
        "-days", "825", "-CA", os.path.join(ca_dir, "ca.crt"),
        "-CAkey", os.path.join(ca_dir, "ca.key"), "-CAcreateserial",
        "-extfile", os.path.join(ca_dir, "signer.ext"), "-out", cert, **quiet)
    return cert, key


def signing_identity(out):
    cert, key = os.environ.get("ZARN_SIGN_CERT"), os.environ.get("ZARN_SIGN_KEY")
    if cert and key:
        print(f"== signing with {cert}")
        return cert, key, False
    cert, key = make_test_ca(out)
    shutil.copyfile(os.path.join(out, "test-ca", "ca.crt"), os.path.join(out, "test-ca.crt"))
    return cert, key, True


# ---------------------------------------------------------------- test material

def site_host(site):
    """The host of "scheme://host", "scheme://*.host" or either with a :port."""
    rest = site.split("://", 1)[-1].split("/", 1)[0]
    if rest.startswith("*."):
        rest = rest[2:]
    if rest.startswith("["):
        return rest[1:].split("]", 1)[0]
    return rest.split(":", 1)[0]


def on_this_machine(host):
    host = host.lower().rstrip(".")
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        return False
    return address.is_loopback or address.is_unspecified


def default_sites(server):
    """The allowed sites a build has when none are given: the update
    server's scheme and host, as CMakeLists.txt derives them."""
    found = re.match(r"([A-Za-z][A-Za-z0-9+.-]*://[^/?#@]+)", server or "")
    return found.group(1) if found else ""


def public_half(path):
    """The DER public key of a PEM private key, public key or certificate (its
    first block), or None when openssl reads none."""
    text = open(path, encoding="ascii", errors="replace").read()
    if "CERTIFICATE" in text:
        pem = subprocess.run(["openssl", "x509", "-in", path, "-pubkey", "-noout"],
                             capture_output=True).stdout
        read = ["openssl", "pkey", "-pubin", "-outform", "DER"]
    else:
        pem = None
        read = ["openssl", "pkey", "-in", path, "-pubout", "-outform", "DER"]
        if "PUBLIC KEY" in text and "PRIVATE KEY" not in text:
            read.insert(2, "-pubin")
    done = subprocess.run(read, input=pem, capture_output=True)
    return done.stdout if done.returncode == 0 and done.stdout else None


THROWAWAY = {}


def throwaway_material(source):
    """The public halves of the keys and certificates this tree made for its
    tests, the demo and test packages (every PEM file under build/ outside
    the Wine prefixes and the rigs' homes), and the certificates among them."""
    if source not in THROWAWAY:
        halves, certificates = set(), []
        skip = ("wineprefix", "home", "scratch", "node_modules", "CMakeFiles", "browser-tests")
        for folder, dirs, files in os.walk(os.path.join(source, "build")):
            dirs[:] = [d for d in dirs if not d.startswith(skip)]
            for name in files:
                if name.endswith((".pem", ".key", ".crt")):
                    path = os.path.join(folder, name)
                    half = public_half(path)
                    if half:
                        halves.add(half)
                        if "CERTIFICATE" in open(path, encoding="ascii", errors="replace").read():
                            certificates.append(path)
        THROWAWAY[source] = (halves, certificates)
    return THROWAWAY[source]


def throwaway_halves(source):
    return throwaway_material(source)[0]


def chains_to_ours(source, cert):
    """The certificate of ours that `cert` chains to, or None."""
    for ours in throwaway_material(source)[1]:
        if subprocess.run(["openssl", "verify", "-no_check_time", "-partial_chain",
                           "-CAfile", ours, cert], capture_output=True).returncode == 0:
            return ours
    return None


def judge_pem(source, path, made_here, marker, holds):
    """Why the PEM file at `path` cannot be a release input, or None: it must
    be given, hold the block `marker`, and not be a throwaway key of this
    tree, wherever it was copied to: its public half must be none of theirs
    (`made_here` says which they are)."""
    if not path:
        return "not given"
    if not os.path.isfile(path):
        return f"{path} is not a file"
    if marker not in open(path, encoding="ascii", errors="replace").read():
        return f"{path} holds no PEM {holds}"
    if public_half(path) in throwaway_halves(source):
        return f"{path} is the throwaway key {made_here} under build/"
    return None


def judge_keys(source, keys):
    return judge_pem(source, keys, "the tests make",
                     "BEGIN PUBLIC KEY", "public key")


def judge_extension_key(source, key):
    """The extension's key fixes the extension's ID, which the host manifests
    in the MSIs name: without it they would name the test extension's."""
    return judge_pem(source, key, "the tests make for the extension",
                     "PRIVATE KEY", "private key")


def judge_server(server):
    if not server:
        return "not given"
    if on_this_machine(site_host(server)):
        return f"{server} is on this machine (the tests' stand-in)"
    return None


def judge_sites(sites, server):
    """Why a site list cannot be a release's, or None. Each entry is read as
    the extension's build reads it, which the control's lock and the host
    share: it must be one they take, on https (a page on http is anyone's on
    the way), and not on this machine."""
    listed = [s for s in (sites or default_sites(server)).split(";") if s]
    if not listed:
        return "not given"
    what = "the default, the update server's site" if not sites else "listed"
    reasons = []
    for entry in listed:
        left_out = []
        parsed = build_extension.parse_sites(entry, left_out)
        if not parsed:
            reasons.append(f"{entry} ({what}) is not a site: {left_out[0][1]}")
        elif on_this_machine(parsed[0]["host"].strip("[]")):
            reasons.append(f"{entry} ({what}) is on this machine")
        elif parsed[0]["scheme"] != "https":
            reasons.append(f"{entry} ({what}) is not https")
    return "; ".join(reasons) or None


def judge_signing(source, cert, key):
    if not cert or not key:
        return "not given (with ZARN_SIGN_KEY): a throwaway test CA signs"
    for path, pem in ((cert, "CERTIFICATE"), (key, "PRIVATE KEY")):
        why = judge_pem(source, path, "test packages are signed with", pem, pem.lower())
        if why:
            return why
    ours = chains_to_ours(source, cert)
    if ours:
        return f"{cert} chains to {ours}, a throwaway CA of this tree"
    return None


def built_with(tree):
    """The release inputs a tree was configured with, from its CMake cache."""
    cache = {}
    with open(os.path.join(tree, "CMakeCache.txt"), encoding="utf-8", errors="replace") as text:
        for line in text:
            found = re.match(r"(ZARN_UPDATE_KEYS|ZARN_EXTENSION_KEY|ZARN_UPDATE_SERVER|"
                             r"ZARN_ALLOWED_SITES|ZARN_CHROME_STORE_ID|ZARN_EDGE_STORE_ID|ZARN_VERSION):\w+=(.*)$",
                             line.rstrip("\n"))
            if found:
                cache[found.group(1)] = found.group(2)
    return cache


def test_material(source, trees, signing):
    """Why packages of these trees, signed so, are test packages: a list of
    "INPUT: reason" lines, empty for a release."""
    reasons = []

    def add(name, why):
        line = f"{name}: {why}"
        if why and line not in reasons:
            reasons.append(line)

    for arch in ARCHES.values():
        cache = built_with(os.path.join(trees, arch))
        server = cache.get("ZARN_UPDATE_SERVER", "")
        add("ZARN_UPDATE_KEYS", judge_keys(source, cache.get("ZARN_UPDATE_KEYS", "")))
        add("ZARN_EXTENSION_KEY", judge_extension_key(source, cache.get("ZARN_EXTENSION_KEY", "")))
        add("ZARN_UPDATE_SERVER", judge_server(server))
        add("ZARN_ALLOWED_SITES", judge_sites(cache.get("ZARN_ALLOWED_SITES", ""), server))
    add("ZARN_SIGN_CERT", judge_signing(source, *signing))
    return reasons


def check_release_inputs(source):
    """Refuses a release build whose inputs are missing or test material."""
    env = {name: os.environ.get(name, "") for name in RELEASE_INPUTS}
    refused = []
    for name, why in (
            ("ZARN_UPDATE_KEYS", judge_keys(source, env["ZARN_UPDATE_KEYS"])),
            ("ZARN_EXTENSION_KEY", judge_extension_key(source, env["ZARN_EXTENSION_KEY"])),
            ("ZARN_UPDATE_SERVER", judge_server(env["ZARN_UPDATE_SERVER"])),
            # A release names its sites: the default follows the server.
            ("ZARN_ALLOWED_SITES", judge_sites(env["ZARN_ALLOWED_SITES"], "")
             if env["ZARN_ALLOWED_SITES"] else "not given"),
            ("ZARN_SIGN_CERT", judge_signing(source, env["ZARN_SIGN_CERT"], env["ZARN_SIGN_KEY"]))):
        if why:
            refused.append(f"{name}: {why}")
    if refused:
        print("== refusing to build release packages:", file=sys.stderr)
        for line in refused:
            print(f"   {line}", file=sys.stderr)
        print("   (docs/administrators.md, Delivery packages: what a release needs)", file=sys.stderr)
        sys.exit(2)


def sign(path, cert, key):
    """Signs a PE module, CAB or MSI in place (SHA-256)."""
    unsigned = path + ".unsigned"
    os.replace(path, unsigned)
    args = ["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
            "-n", "Zarn web control", "-i", "https://www.zarn.example/"]
    if os.environ.get("ZARN_SIGN_TIMESTAMP"):
        args += ["-ts", os.environ["ZARN_SIGN_TIMESTAMP"]]
    run(*args, "-in", unsigned, "-out", path, stdout=subprocess.DEVNULL)
    os.remove(unsigned)


def write_inf(path, arch, clsid, version):
    commas = ",".join(map(str, version))
    lines = [
        "; How a browser installs the Zarn web control from this cabinet.",
        "[version]",
        'signature="$CHICAGO$"',
        "AdvancedINF=2.0",
        "",
        "[Add.Code]",
        "ZarnCtrl2.ocx=ZarnCtrl2.ocx",
        "",
        "[ZarnCtrl2.ocx]",
    ]
    if arch == "x86":
        lines += ["file-win32-x86=thiscab", f"clsid={clsid}", f"FileVersion={commas}",
                  "RegisterServer=yes"]
    else:
        # The download service documents processor keys for 32-bit platforms
        # only, so the 64-bit cabinet installs through the MSI it carries: the
        # hook runs it from the folder the cabinet was extracted to, and the
        # MSI writes the same registry rows as everywhere else.
        lines += [f"clsid={clsid}", f"FileVersion={commas}", "hook=ZarnCtrl2.msi", "",
                  "[ZarnCtrl2.msi]",
                  'run=msiexec.exe /i "%EXTRACT_DIR%\\ZarnCtrl2-x64.msi" /qn']
    with open(path, "w", newline="\r\n") as inf:
        inf.write("\n".join(lines) + "\n")


def store_ids(trees):
    """The extension's store IDs the trees were configured with, as
    (Chrome Web Store, Edge Add-ons), each possibly empty. Both trees must
    agree: the two MSIs share the entries."""
    seen = {arch: tuple(built_with(os.path.join(trees, arch)).get(name, "")
                        for name in STORE_SETTINGS) for arch in ARCHES.values()}
    if len(set(seen.values())) != 1:
        sys.exit(f"the two trees name different store IDs: {seen}")
    return seen["x86_64"]


def make_msi(source, work, msi, arch, version, marking, stores, cert, key):
    """The MSI of one architecture from the signed files in `work`, with the
    external-extension entries of `stores` (Chrome Web Store ID, Edge
    Add-ons ID; empty ones make none), signed."""
    # wixl resolves file names against the working folder, so it runs there.
    file_version = ".".join(map(str, version))
    run("wixl", "-a", arch, "-o", msi, "-D", f"Arch={arch}",
        "-D", "Version=" + product_version(version), "-D", f"FileVersion={file_version}",
        "-D", "Module=ZarnCtrl2.ocx",
        "-D", f"Marking={marking}", "-D", "Offer=" + ("yes" if any(stores) else "no"),
        os.path.join(source, "package", "ZarnCtrl2.wxs"), cwd=work)
    # The registry rows, from the table the module registers itself from. They
    # go in after wixl, which cannot store text outside ASCII, with the Korean
    # code page the type names need set first.
    tables = os.path.join(work, "tables")
    shutil.rmtree(tables, ignore_errors=True)
    os.makedirs(tables)
    with open(os.path.join(tables, "_ForceCodepage.idt"), "wb") as idt:
        idt.write(b"\r\n\r\n949\t_ForceCodepage\r\n")
    resources = os.path.join(source, "resources")
    run("python3", os.path.join(source, "cmake", "registry_table.py"), "idt",
        os.path.join(source, "control", "registration.table"),
        os.path.join(resources, "Web_Control.idl"), os.path.join(resources, "ZarnCtrl2.rc"),
        os.path.join(resources, "resource.h"), arch, "ZarnCtrl2.ocx", "ZarnCtrl2",
        "Bridge", "zarn_bridge.json", "zarn_bridge.firefox.json", "Offer", *stores,
        os.path.join(tables, "Registry.idt"))
    run("msibuild", msi, "-i", "_ForceCodepage.idt", cwd=tables)
    run("msibuild", msi, "-i", "Registry.idt", cwd=tables)
    finish_msi(msi, work, tables, arch, marking)
    sign(msi, cert, key)


def sql_text(text):
    return "'" + text.replace("'", "''") + "'"


def finish_msi(msi, work, tables, arch, marking):
    """What wixl cannot write into the MSI, written after it:
    - the Korean product name and downgrade message, and Korean as the
      package's language (the database's code page is 949 by now; the
      summary's texts stay ASCII: msitools would store them as UTF-8 under
      that code page, which Windows would misread);
    - the custom action EndHosts (wixl takes no program from the Binary
      table): END_HOSTS, run with the installed host's path, ends the
      running hosts of this package's folder before the old product is
      removed and the files are replaced, so that a host never keeps its
      file from being replaced (the installer would replace it only at the
      next restart, after the module beside it). It runs at once, not
      deferred: Wine runs deferred actions only at InstallFinalize, after
      the files. Then RemoveExistingProducts, still before InstallInitialize:
      the old product is gone before the new one registers, so its removal
      cannot take the new one's upgrade entry with it."""
    name = PRODUCT_NAMES[arch] + marking
    binary = os.path.join(tables, "Binary")
    os.makedirs(binary, exist_ok=True)
    shutil.copyfile(os.path.join(work, END_HOSTS), os.path.join(binary, "EndHosts.ibd"))
    with open(os.path.join(tables, "Binary.idt"), "w", newline="\r\n") as idt:
        idt.write("Name\tData\ns72\tv0\nBinary\tName\nEndHosts\tEndHosts.ibd\n")
    # Type 2: a program from the Binary table, run synchronously, its exit
    # code checked (a host that cannot be ended fails the install, which
    # then changes nothing).
    with open(os.path.join(tables, "CustomAction.idt"), "w", newline="\r\n") as idt:
        idt.write("Action\tType\tSource\tTarget\ns72\ti2\tS72\tS255\nCustomAction\tAction\n"
                  'EndHosts\t2\tEndHosts\t"[INSTALLDIR]zarn-bridge.exe"\n')
    run("msibuild", msi, "-i", "Binary.idt", "-i", "CustomAction.idt", cwd=tables)
    sequence = dict(line.split("\t")[0::2] for line in subprocess.run(
        ["msiinfo", "export", msi, "InstallExecuteSequence"], check=True, capture_output=True,
        text=True).stdout.splitlines()[3:])
    after = int(sequence["InstallValidate"])
    if int(sequence["InstallInitialize"]) - after < 3:
        sys.exit(f"{msi}: no room for EndHosts between InstallValidate and InstallInitialize")
    queries = [
        f"UPDATE `Property` SET `Value` = {sql_text(name)} WHERE `Property` = 'ProductName'",
        f"UPDATE `LaunchCondition` SET `Description` = {sql_text(DOWNGRADE_MESSAGE)} "
        "WHERE `Condition` = 'NOT NEWERVERSIONDETECTED'",
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) "
        f"VALUES ('EndHosts', {after + 1})",
        f"UPDATE `InstallExecuteSequence` SET `Sequence` = {after + 2} "
        "WHERE `Action` = 'RemoveExistingProducts'",
    ]
    # wixl leaves out IncludeMaximum: the upgrade row's range is made to take
    # the product's own version, so that another build of one version
    # replaces the installed one instead of going beside it. (The package's
    # own product code is never a related product: installing the same
    # package again repairs it.)
    upgrade = subprocess.run(["msiinfo", "export", msi, "Upgrade"], check=True, capture_output=True,
                             text=True).stdout.splitlines()[3:]
    for line in upgrade:
        code, low, high, language, attributes, remove, prop = (line.split("\t") + [""] * 7)[:7]
        if prop != "OLDERVERSIONBEINGUPGRADED":
            continue
        queries += [
            "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'OLDERVERSIONBEINGUPGRADED'",
            "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, "
            f"`ActionProperty`) VALUES ({sql_text(code)}, {sql_text(low)}, {sql_text(high)}, "
            f"{int(attributes) | 0x200}, 'OLDERVERSIONBEINGUPGRADED')"]
    for query in queries:
        run("msibuild", msi, "-q", query)
    summary = subprocess.run(["msiinfo", "suminfo", msi], check=True, capture_output=True,
                             text=True).stdout
    fields = dict(line.split(": ", 1) for line in summary.splitlines() if ": " in line)
    # The template is "platform;languages": the platform ("Intel", "x64")
    # stays wixl's.
    platform = fields["Template"].split(";")[0]
    run("msibuild", msi, "-s", fields["Subject"], fields["Author"], f"{platform};{MSI_LANGUAGE}",
        fields["Revision number (UUID)"])


def make_arch(source, trees, out, arch, cert, key, marking, stores):
    work = os.path.join(out, arch)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    module = os.path.join(work, "ZarnCtrl2.ocx")
    shutil.copyfile(os.path.join(trees, ARCHES[arch], "ZarnCtrl2.ocx"), module)
    sign(module, cert, key)
    version = module_version(module)
    # The bridge host and the manifests the tree's build wrote for it, with the
    # extension IDs that build computed.
    for name in BRIDGE_FILES + (END_HOSTS,):
        shutil.copyfile(os.path.join(trees, ARCHES[arch], name), os.path.join(work, name))
    sign(os.path.join(work, "zarn-bridge.exe"), cert, key)
    sign(os.path.join(work, END_HOSTS), cert, key)

    msi = os.path.join(out, f"ZarnCtrl2-{arch}.msi")
    make_msi(source, work, msi, arch, version, marking, stores, cert, key)

    inf = os.path.join(work, "ZarnCtrl2.inf")
    write_inf(inf, arch, class_id(source), version)
    members = [module, inf]
    if arch == "x64":
        shutil.copyfile(msi, os.path.join(work, os.path.basename(msi)))
        members.append(os.path.join(work, os.path.basename(msi)))
    cab = os.path.join(out, f"ZarnCtrl2-{arch}.cab")
    if os.path.exists(cab):
        os.remove(cab)
    run("gcab", "-c", "-z", "-n", cab, *members)
    sign(cab, cert, key)
    return version


TESTERS_FOLDER = "zarn-extension-for-testers"
# Each setting a built module or host carries, compiled in after its name
# (cmake/build_settings.py).
CARRIED = ("ZARN_UPDATE_SERVER", "ZARN_ALLOWED_SITES")


def carried_settings(path):
    """{setting: set of values} as the module or host at `path` carries them:
    each a UTF-16 text after "NAME=", up to its terminating zero."""
    with open(path, "rb") as f:
        data = f.read()
    found = {}
    for name in CARRIED:
        tag = (name + "=").encode("utf-16-le")
        values, at = set(), data.find(tag)
        while at >= 0:
            end = at + len(tag)
            while end + 1 < len(data) and data[end:end + 2] != b"\0\0":
                end += 2
            values.add(data[at + len(tag):end].decode("utf-16-le", "replace"))
            at = data.find(tag, at + 2)
        found[name] = values
    return found


def script_value(text, name):
    """The JSON value a generated script assigns: "var NAME = <json>;"."""
    found = re.search(r"\bvar %s = " % re.escape(name), text)
    if not found:
        return None
    try:
        return json.JSONDecoder().raw_decode(text, found.end())[0]
    except ValueError:
        return None


def built_parts(trees):
    """Where each part of the packages lies as the trees built it."""
    return {
        "modules": {arch: os.path.join(trees, tree, "ZarnCtrl2.ocx") for arch, tree in ARCHES.items()},
        "hosts": {arch: os.path.join(trees, tree, "zarn-bridge.exe") for arch, tree in ARCHES.items()},
        "manifests": {arch: os.path.join(trees, tree) for arch, tree in ARCHES.items()},
        "extension": {form: os.path.join(trees, "x86_64", "extension", form)
                      for form in ("chromium", "firefox")},
        "page": os.path.join(trees, "x86_64", "zarn.js"),
    }


def packaged_parts(out):
    """Where each part lies in a folder of made packages."""
    return {
        "modules": {arch: os.path.join(out, arch, "ZarnCtrl2.ocx") for arch in ARCHES},
        "hosts": {arch: os.path.join(out, arch, "zarn-bridge.exe") for arch in ARCHES},
        "manifests": {arch: os.path.join(out, arch) for arch in ARCHES},
        "extension": {"chromium": os.path.join(out, TESTERS_FOLDER)},
        "page": os.path.join(out, "zarn.js"),
    }


def disagreements(parts):
    """Why the parts cannot go out together, one line each (none when they
    agree): every module and host must carry one update server and one site
    list, the same; the extension must serve those sites, and link where the
    page links; a link to an update server's files must name that server;
    and the host manifests must allow the extension that is shipped."""
    problems = []

    def read(path, binary=False):
        try:
            with open(path, "rb" if binary else "r", **({} if binary else {"encoding": "utf-8"})) as f:
                return f.read()
        except OSError as error:
            problems.append("%s cannot be read: %s" % (path, error.strerror))
            return None

    servers, sites = {}, {}
    for kind in ("modules", "hosts"):
        for arch, path in parts[kind].items():
            if read(path, True) is None:
                continue
            carried = carried_settings(path)
            for name, into in (("ZARN_UPDATE_SERVER", servers), ("ZARN_ALLOWED_SITES", sites)):
                if len(carried[name]) != 1:
                    problems.append("%s carries %s %s" % (path, len(carried[name]) or "no", name))
                else:
                    into[path] = next(iter(carried[name]))
    if len(set(servers.values())) > 1:
        problems.append("the update servers differ: " +
                        ", ".join("%s has %s" % item for item in sorted(servers.items())))
    parsed = {json.dumps(build_extension.parse_sites(text, []), sort_keys=True)
              for text in sites.values()}
    if len(parsed) > 1:
        problems.append("the allowed sites differ: " +
                        ", ".join("%s has %s" % item for item in sorted(sites.items())))
    # What the rest must agree with, once modules and hosts agree among themselves.
    server = next(iter(servers.values())) if len(set(servers.values())) == 1 else None
    sites_built = json.loads(next(iter(parsed))) if len(parsed) == 1 else None

    page_text = read(parts["page"])
    page_links = script_value(page_text, "links") if page_text else None
    if page_text is not None and not isinstance(page_links, dict):
        problems.append("%s carries no links" % parts["page"])
    extension_id = None
    for form, folder in parts["extension"].items():
        text = read(os.path.join(folder, "sites.js"))
        if text is None:
            continue
        served, links = script_value(text, "ZARN_SITES"), script_value(text, "ZARN_LINKS")
        if sites_built is not None and json.dumps(served, sort_keys=True) != \
                json.dumps(sites_built, sort_keys=True):
            problems.append("the %s extension serves other sites (%s) than the modules and hosts "
                            "allow (%s)" % (form, json.dumps(served), next(iter(sites.values()))))
        if isinstance(page_links, dict) and links != page_links:
            problems.append("the %s extension's links %s are not the page's %s"
                            % (form, json.dumps(links, sort_keys=True),
                               json.dumps(page_links, sort_keys=True)))
        manifest = read(os.path.join(folder, "manifest.json"))
        try:
            manifest = json.loads(manifest) if manifest else {}
        except ValueError:
            manifest = {}
        if form == "chromium" and manifest.get("key"):
            import base64
            extension_id = build_extension.chromium_id(base64.b64decode(manifest["key"]))
    if server and isinstance(page_links, dict):
        for name, link in sorted(page_links.items()):
            found = re.match(r"([a-z]+://[^/]+)(/append/application/.*)$", str(link), re.I)
            if found and found.group(1).lower() != server.lower():
                problems.append("the page's %s link %s names another update server than %s"
                                % (name, link, server))
    if extension_id:
        origin = "chrome-extension://%s/" % extension_id
        for arch, folder in parts["manifests"].items():
            text = read(os.path.join(folder, "zarn-bridge.json"))
            try:
                allowed = json.loads(text).get("allowed_origins", []) if text else None
            except ValueError:
                allowed = None
            if allowed is not None and origin not in allowed:
                problems.append("%s does not allow the shipped extension %s"
                                % (os.path.join(folder, "zarn-bridge.json"), origin))
    return problems


def page_links(tree):
    """The links a tree was configured with, as zarn.js carries them."""
    names = {"ZARN_PROGRAM_DOWNLOAD": "program", "ZARN_CHROME_STORE": "chrome",
             "ZARN_EDGE_STORE": "edge", "ZARN_FIREFOX_STORE": "firefox"}
    found = {}
    with open(os.path.join(tree, "CMakeCache.txt"), encoding="utf-8", errors="replace") as text:
        for line in text:
            m = re.match(r"(\w+):\w+=(.*)$", line.rstrip("\n"))
            if m and m.group(1) in names:
                found[names[m.group(1)]] = m.group(2)
    return ";".join("%s=%s" % item for item in sorted(found.items()))


def write_page(source, out, version, marking, tree):
    text = open(os.path.join(source, "package", "zarn.html.in"), encoding="utf-8").read()
    text = text.replace("@MARKING@", marking)
    text = text.replace("@CLASS_ID@", class_id(source).strip("{}"))
    text = text.replace("@VERSION_COMMAS@", ",".join(map(str, version)))
    open(os.path.join(out, "zarn.html"), "w", encoding="utf-8").write(text)
    # The page library the page loads, beside it: the tree's own, as built,
    # or, from a tree configured and not built, one with its links.
    built = os.path.join(tree, "zarn.js")
    if os.path.isfile(built):
        shutil.copyfile(built, os.path.join(out, "zarn.js"))
        return
    run("python3", os.path.join(source, "browser", "build_extension.py"), "library",
        "--source", os.path.join(source, "browser", "zarn.js"), "--out",
        os.path.join(out, "zarn.js"), "--links", page_links(tree), "--version",
        os.path.join(source, "resources", "version.h"))


def source_version(source):
    """The product version the modules are built with."""
    text = open(os.path.join(source, "resources", "version.h"), encoding="utf-8").read()
    found = re.search(r'^#define ZARN_VERSION_TEXT "(\d+)\.(\d+)\.(\d+)\.(\d+)"', text, re.M)
    if not found:
        sys.exit("resources/version.h: no ZARN_VERSION_TEXT")
    return tuple(int(n) for n in found.groups())


def page_only(source, out, tree):
    """zarn.html and zarn.js for a web developer, without the packages."""
    marking, version = MARKING, source_version(source)
    if os.path.isfile(os.path.join(tree, "CMakeCache.txt")):
        cache = built_with(tree)
        # A tree configured with another version (scripts/package --version)
        # builds modules of that version, whose CAB the page names.
        if cache.get("ZARN_VERSION"):
            version = tuple(int(n) for n in cache["ZARN_VERSION"].split("."))
        server = cache.get("ZARN_UPDATE_SERVER", "")
        if not any((judge_keys(source, cache.get("ZARN_UPDATE_KEYS", "")), judge_server(server),
                    judge_sites(cache.get("ZARN_ALLOWED_SITES", ""), server))):
            marking = ""
    os.makedirs(out, exist_ok=True)
    write_page(source, out, version, marking, tree)
    print(f"== {os.path.join(out, 'zarn.html')} and zarn.js")


def manifests_disagree(trees):
    """The host manifests that differ between the two architectures' trees:
    each MSI registers its own tree's, and a browser must accept the same
    extensions whichever one a machine has."""
    differ = []
    for name in BRIDGE_FILES[1:]:
        texts = set()
        for arch in ARCHES.values():
            with open(os.path.join(trees, arch, name), "rb") as f:
                texts.add(f.read())
        if len(texts) != 1:
            differ.append(name)
    return differ


def main():
    args = sys.argv[1:]
    if args[:1] == ["--product-version"] and len(args) == 2:
        try:
            print(product_version(args[1]))
        except ValueError as error:
            print(error, file=sys.stderr)
            sys.exit(2)
        return
    if args[:1] == ["--check-release"] and len(args) == 2:
        check_release_inputs(os.path.abspath(args[1]))
        return
    if args[:1] == ["--page"] and len(args) in (3, 4):
        source = os.path.abspath(args[1])
        tree = os.path.abspath(args[3]) if len(args) == 4 else os.path.join(source, "build", "x86_64")
        page_only(source, os.path.abspath(args[2]), tree)
        return
    release = args[:1] == ["--release"]
    args = args[1:] if release else args
    if len(args) not in (2, 3):
        sys.exit(__doc__)
    source, out = (os.path.abspath(p) for p in args[:2])
    trees = os.path.abspath(args[2]) if len(args) == 3 else os.path.join(source, "build")
    given = (os.environ.get("ZARN_SIGN_CERT"), os.environ.get("ZARN_SIGN_KEY"))
    reasons = test_material(source, trees, given)
    if release and reasons:
        sys.exit("== refusing to make release packages from test material:\n   " +
                 "\n   ".join(reasons))
    differ = manifests_disagree(trees)
    if differ:
        sys.exit("== the two architectures' host manifests differ (%s): their trees were "
                 "configured with other extension IDs" % ", ".join(differ))
    disagree = disagreements(built_parts(trees))
    if disagree:
        sys.exit("== refusing to make packages whose parts disagree:\n   " + "\n   ".join(disagree))
    marking = MARKING if reasons else ""
    os.makedirs(out, exist_ok=True)
    cert, key, test_signed = signing_identity(out)
    stores = store_ids(trees)
    versions = {arch: make_arch(source, trees, out, arch, cert, key, marking, stores)
                for arch in ARCHES}
    if versions["x86"] != versions["x64"]:
        sys.exit(f"the two modules disagree on their version: {versions}")
    write_page(source, out, versions["x86"], marking, os.path.join(trees, ARCHES["x64"]))
    # The extension for each store. Both trees write the same one (the same
    # key, sites and version); the x86_64 tree's is taken.
    for name in EXTENSION_FILES:
        shutil.copyfile(os.path.join(trees, "x86_64", "extension", name), os.path.join(out, name))
    # For testers: the unpacked extension with the build's key, whose ID is
    # the one the host manifests allow (the store zip has no key).
    testers = os.path.join(out, TESTERS_FOLDER)
    shutil.rmtree(testers, ignore_errors=True)
    shutil.copytree(os.path.join(trees, "x86_64", "extension", "chromium"), testers)
    if any(stores):
        print("== the MSIs offer the extension: Chrome " + (stores[0] or "(none)") +
              ", Edge " + (stores[1] or stores[0]))
    print(f"== packages in {out}")
    if test_signed:
        print("== TEST-SIGNED: these packages are signed by a throwaway test CA "
              f"({os.path.join(out, 'test-ca.crt')}), which no machine trusts. Set "
              "ZARN_SIGN_CERT and ZARN_SIGN_KEY to sign a release.")
    if reasons:
        print(f"== TEST PACKAGES: their MSIs' product names and the page's title end in "
              f"\"{MARKING.strip()}\", because")
        for line in reasons:
            print(f"   {line}")
        print("   scripts/package --release makes packages for deployment (docs/administrators.md: Delivery packages).")


if __name__ == "__main__":
    main()
