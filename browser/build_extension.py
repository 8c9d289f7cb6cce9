#!/usr/bin/env python3
"""Write the browser extension of a build from its one source.

    build_extension.py id --key PRIVATE.pem
        Prints the Chromium extension ID that the key gives.

    build_extension.py sites --sites LIST
        Prints LIST as the site rules read it (JSON), and exits with 1 when
        they leave an entry out (each is reported): the build's check of
        ZARN_ALLOWED_SITES.

    build_extension.py pack --out DIR --key PRIVATE.pem
        Packs OUT/chromium as OUT/zarn-extension.zip (for the stores, without
        "key") and OUT/zarn-extension.crx (CRX3, signed with the key, for
        installs by policy), and OUT/firefox as OUT/zarn-extension.xpi (for
        the Firefox add-ons store to sign).

    build_extension.py build --source DIR --out DIR --sites LIST --key PRIVATE.pem
                             --version HEADER --gecko-id ID --links LINKS [--protocol TABLE]
                             [--firefox-update-url URL]
        Writes OUT/chromium (unpacked Manifest V3, with the key's public half as
        "key", so that its ID is stable) and OUT/firefox (background scripts and
        the gecko ID). LIST is the ';'-separated allowed sites of the site lock:
        scheme://host, scheme://*.host, each with an optional :port (none means
        the scheme's default). The content script runs where they allow it, and
        sites.js carries them to the rules the content script and the
        background judge by. LINKS is the build's ;-separated name=address
        list of where a person gets the program and the extension (see
        cmake/build_settings.py); sites.js carries it to the extension's
        welcome page and popup. With --firefox-update-url (https), the
        Firefox manifest names it as its gecko update_url: where a Firefox
        that installed the package outside the store looks for its updates
        (tools/publish extension --firefox writes that updates.json).

    build_extension.py library --source zarn.js --out FILE --links LINKS --version HEADER
                               [--protocol TABLE] [--sites LIST]
        Writes the page library with the build's links and version in it, the
        protocol's table and the steps a person is offered (steps.js).

    TABLE is the protocol's table (default: bridge/protocol.table); the
    extension carries it as protocol.js, zarn.js as its `protocol`.
"""

import argparse
import base64
import hashlib
import ipaddress
import json
import os
import re
import shutil
import subprocess
import sys

DEFAULT_PORTS = {"http": 80, "https": 443}
ENTRY = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*)://(\*\.)?(\[[0-9A-Fa-f:.]+\]|[^/\\?#@*:\[\]]+)"
                   r"(?::([0-9]{1,5}))?$")
IPV4 = re.compile(r"^[0-9]+(\.[0-9]+){3}$")
LABEL = re.compile(r"^[a-z0-9]([a-z0-9-]{0,61}[a-z0-9])?$")
SCRIPTS = ["sites.js", "rules.js", "content.js", "background.js"]
# The extension's own pages (welcome on installation, the toolbar popup).
PAGES = ["status.js", "status.css", "welcome.html", "popup.html"]
# Every sentence the extension shows, one table per language, read through
# the browser's i18n API.
LOCALES = "_locales"
# Written by the build, not copied from the extension's folder: the
# protocol's table (cmake/protocol_table.py) and the steps a person is
# offered, which zarn.js carries too.
SHARED_STEPS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "steps.js")
PROTOCOL_TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bridge",
                              "protocol.table")
LINK_NAMES = ("program", "chrome", "edge", "firefox")


def public_der(key):
    done = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"],
                          capture_output=True)
    if done.returncode != 0 or not done.stdout:
        sys.exit("%s: not a private key openssl can read: %s" % (key, done.stderr.decode().strip()))
    return done.stdout


def chromium_id(der):
    """Chromium's ID: the first 128 bits of the public key's SHA-256, as the
    letters a to p."""
    digest = hashlib.sha256(der).hexdigest()[:32]
    return "".join(chr(ord("a") + int(c, 16)) for c in digest)


def shortest_ipv6(text):
    """An IPv6 address as browsers write it in an origin (lower-case hex
    without leading zeros, the longest run of two or more zero pieces, the
    first of equal runs, written "::"), or None when `text` is none."""
    try:
        packed = ipaddress.IPv6Address(text).packed
    except ValueError:
        return None
    pieces = [int.from_bytes(packed[i:i + 2], "big") for i in range(0, 16, 2)]
    start, length, i = -1, 1, 0
    while i < 8:
        end = i
        while end < 8 and pieces[end] == 0:
            end += 1
        if end - i > length:
            start, length = i, end - i
        i = max(end, i + 1)
    hexes = ["%x" % piece for piece in pieces]
    if start < 0:
        return ":".join(hexes)
    return ":".join(hexes[:start]) + "::" + ":".join(hexes[start + length:])


def parse_sites(text, left_out=None):
    """The entries the site lock accepts, in its comparison form. Entries it
    would leave out are left out here too: added to `left_out` (a list of
    (entry, reason)) when given, else reported."""
    sites = []

    def leave(why, entry):
        if left_out is None:
            print("build_extension: %s, left out: %s" % (why, entry), file=sys.stderr)
        else:
            left_out.append((entry, why))

    for entry in filter(None, text.split(";")):
        m = ENTRY.match(entry)
        if not m:
            leave("not a site", entry)
            continue
        scheme, star, host, port = m.group(1).lower(), bool(m.group(2)), m.group(3), m.group(4)
        if scheme not in DEFAULT_PORTS:
            leave("pages of %s cannot be served" % scheme, entry)
            continue
        ip = host.startswith("[") or bool(IPV4.match(host))
        if host.startswith("["):
            shortest = shortest_ipv6(host[1:-1])
            if shortest is None:
                leave("not an IPv6 address", entry)
                continue
            host = "[%s]" % shortest
        elif ip:
            host = host.lower()
        else:
            host = host[:-1] if host.endswith(".") else host
            try:
                host = host.encode("idna").decode("ascii").lower()
            except UnicodeError:
                leave("not a host name", entry)
                continue
            if len(host) > 253 or not all(LABEL.match(label) for label in host.split(".")):
                leave("not a host name", entry)
                continue
        if star and ip:
            leave("a wildcard below an IP address", entry)
            continue
        port = int(port) if port else DEFAULT_PORTS[scheme]
        if not 0 < port <= 65535:
            leave("not a port", entry)
            continue
        sites.append({"scheme": scheme, "host": host, "port": port, "subdomains": star})
    return sites


def pattern(site, star, with_port):
    port = "" if not with_port or site["port"] == DEFAULT_PORTS[site["scheme"]] \
        else ":%d" % site["port"]
    return "%s://%s%s%s/*" % (site["scheme"], "*." if star else "", site["host"], port)


def patterns(sites, with_port):
    """Match patterns for the sites. A "*.host" pattern also matches the host
    itself, which the rules do not allow: that host is excluded unless an
    entry of its own allows it."""
    matches, excludes = [], []
    for site in sites:
        matches.append(pattern(site, site["subdomains"], with_port))
    for site in sites:
        if not site["subdomains"]:
            continue
        bare = pattern(site, False, with_port)
        if bare not in matches:
            excludes.append(bare)
    dedupe = lambda items: list(dict.fromkeys(items))
    return dedupe(matches), dedupe(excludes)


def module_version(header):
    """The product's version, as resources/version.h gives it to the module
    and the host."""
    with open(header, encoding="utf-8") as f:
        m = re.search(r'^#define ZARN_VERSION_TEXT "(\d+\.\d+\.\d+\.\d+)"', f.read(), re.M)
    if not m:
        sys.exit("%s: no ZARN_VERSION_TEXT" % header)
    return m.group(1)


def parse_links(text):
    """The build's links by name, as cmake/build_settings.py checked them."""
    found = dict(entry.partition("=")[::2] for entry in filter(None, text.split(";")))
    missing = [n for n in LINK_NAMES if not found.get(n)]
    if missing:
        sys.exit("build_extension: no address for %s in --links" % ", ".join(missing))
    return {n: found[n] for n in LINK_NAMES}


def protocol_table(form, table, *out):
    """What cmake/protocol_table.py makes of the protocol's table."""
    done = subprocess.run([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                        "..", "cmake", "protocol_table.py"),
                           form, table, *out], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(done.stderr.strip())
    return done.stdout


def write_tree(out, source, manifest, sites, links, protocol):
    if os.path.isdir(out):
        shutil.rmtree(out)
    os.makedirs(out)
    for name in SCRIPTS[1:] + PAGES:
        shutil.copyfile(os.path.join(source, name), os.path.join(out, name))
    shutil.copytree(os.path.join(source, LOCALES), os.path.join(out, LOCALES))
    protocol_table("js", protocol, os.path.join(out, "protocol.js"))
    shutil.copyfile(SHARED_STEPS, os.path.join(out, "steps.js"))
    with open(os.path.join(out, "sites.js"), "w", encoding="utf-8") as f:
        f.write("// Written by the build from ZARN_ALLOWED_SITES and the links.\n\"use strict\";\n"
                "var ZARN_SITES = %s;\nvar ZARN_LINKS = %s;\n"
                % (json.dumps(sites, indent=1), json.dumps(links, indent=1)))
    with open(os.path.join(out, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=2)
        f.write("\n")


def set_matches(manifest, sites, with_port):
    """Where the content script runs: the allowed sites' patterns, or a
    reserved name that matches nothing when the list allows none."""
    matches, excludes = patterns(sites, with_port)
    script = manifest["content_scripts"][0]
    script["matches"] = matches or ["https://zarn.invalid/*"]
    if excludes:
        script["exclude_matches"] = excludes
    # The same sites, for reaching their open pages on installation and
    # for the popup to see whether the current tab is one of them: no site
    # beyond those the content script already runs on.
    manifest["host_permissions"] = script["matches"]


def build(args):
    with open(os.path.join(args.source, "manifest.json"), encoding="utf-8") as f:
        base = json.load(f)
    sites = parse_sites(args.sites)
    links = parse_links(args.links)
    if not sites:
        print("build_extension: no site a page can be served from: the extension offers "
              "the API nowhere", file=sys.stderr)
    version = module_version(args.version)
    der = public_der(args.key)

    chromium = json.loads(json.dumps(base))
    chromium["version"] = version
    chromium["key"] = base64.b64encode(der).decode("ascii")
    # Chromium's patterns carry the port; Firefox's cannot, and the rules in
    # the content script judge the port there.
    set_matches(chromium, sites, True)
    write_tree(os.path.join(args.out, "chromium"), args.source, chromium, sites, links, args.protocol)

    firefox = json.loads(json.dumps(base))
    firefox["version"] = version
    firefox["background"] = {"scripts": ["protocol.js", "sites.js", "rules.js", "background.js"]}
    firefox["browser_specific_settings"] = {"gecko": {"id": args.gecko_id,
                                                      "strict_min_version": "128.0"}}
    if args.firefox_update_url:
        if not args.firefox_update_url.startswith("https://"):
            sys.exit("build_extension: Firefox takes updates over https only: %s"
                     % args.firefox_update_url)
        firefox["browser_specific_settings"]["gecko"]["update_url"] = args.firefox_update_url
    for key in ("minimum_chrome_version", "externally_connectable"):
        firefox.pop(key, None)
    set_matches(firefox, sites, False)
    write_tree(os.path.join(args.out, "firefox"), args.source, firefox, sites, links, args.protocol)
    with open(os.path.join(args.out, "ids.txt"), "w", encoding="ascii") as f:
        f.write("chromium %s\nfirefox %s\n" % (chromium_id(der), args.gecko_id))


def varint(n):
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def field(number, data):
    """A length-delimited protobuf field."""
    return varint(number << 3 | 2) + varint(len(data)) + data


def tree_entries(folder):
    """What lies below the folder, as '/'-separated paths in name order, a
    folder's with a trailing '/' (Chromium's own packing lists them too)."""
    found = []
    for root, dirs, files in os.walk(folder):
        path = lambda name: os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/")
        found += [path(d) + "/" for d in dirs] + [path(f) for f in files]
    return sorted(found)


def zip_tree(folder):
    """The folder as a zip, entries in name order with fixed times, so the
    same tree gives the same bytes."""
    import io
    import zipfile
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        for name in tree_entries(folder):
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            if name.endswith("/"):
                info.external_attr = 0o40755 << 16 | 0x10
                z.writestr(info, b"")
                continue
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(folder, name), "rb") as f:
                z.writestr(info, f.read())
    return buffer.getvalue()


def pack(args):
    """The store zip (without "key": the stores give their own IDs) and a
    CRX3 signed with the extension key, for installs by policy."""
    import tempfile
    chromium = os.path.join(args.out, "chromium")
    with tempfile.TemporaryDirectory() as parent:
        work = os.path.join(parent, "chromium")
        shutil.copytree(chromium, work)
        with open(os.path.join(work, "manifest.json"), encoding="utf-8") as f:
            manifest = json.load(f)
        manifest.pop("key", None)
        with open(os.path.join(work, "manifest.json"), "w", encoding="utf-8") as f:
            json.dump(manifest, f, indent=2)
        store = zip_tree(work)
    with open(os.path.join(args.out, "zarn-extension.zip"), "wb") as f:
        f.write(store)

    # CRX3: "Cr24", version 3, the header's length, the header (a
    # CrxFileHeader: the RSA key and its signature, and the signed data
    # naming the ID), then the zip. The signature covers a fixed prefix,
    # the signed data's length and bytes, and the zip.
    package = zip_tree(chromium)
    der = public_der(args.key)
    signed_data = field(1, hashlib.sha256(der).digest()[:16])
    message = b"CRX3 SignedData\x00" + len(signed_data).to_bytes(4, "little") + signed_data + package
    done = subprocess.run(["openssl", "dgst", "-sha256", "-sign", args.key], input=message,
                          capture_output=True)
    if done.returncode != 0:
        sys.exit("signing the CRX failed: " + done.stderr.decode().strip())
    header = field(2, field(1, der) + field(2, done.stdout)) + field(10000, signed_data)
    with open(os.path.join(args.out, "zarn-extension.crx"), "wb") as f:
        f.write(b"Cr24" + (3).to_bytes(4, "little") + len(header).to_bytes(4, "little") + header +
                package)

    # Firefox's package is the Firefox tree as a zip, manifest at its root;
    # the gecko ID in it is what the add-ons store signs it for.
    with open(os.path.join(args.out, "zarn-extension.xpi"), "wb") as f:
        f.write(zip_tree(os.path.join(args.out, "firefox")))


def fill(text, source, pattern, value, what):
    """`text` with the one line `pattern` matches given `value` in its place."""
    line = re.compile(pattern, re.M)
    if len(line.findall(text)) != 1:
        sys.exit("%s: no single %s line to fill in" % (source, what))
    return line.sub(lambda m: m.group(1) + value + m.group(2), text)


def library(args):
    """zarn.js with the build's links, version, protocol table and steps."""
    with open(args.source, encoding="utf-8") as f:
        text = f.read()
    text = fill(text, args.source, r"^(\s*var protocol = )null(;\s*// the build's protocol table)$",
                protocol_table("json", args.protocol).strip(), "protocol")
    with open(SHARED_STEPS, encoding="utf-8") as f:
        steps = f.read()
    steps = steps[steps.index("var ZarnSteps = "):].strip()
    indent = lambda code: "\n".join(("    " + l if l else l) for l in code.splitlines()).lstrip()
    text = fill(text, args.source, r"^(\s*)var ZarnSteps = null;(\s*// the build's steps\.js)$",
                indent(steps), "steps")
    # The site rules of the extension, so that a page of another site is
    # told so (without --sites the library judges no site).
    if args.sites is not None:
        text = fill(text, args.source, r"^(\s*var ZARN_SITES = )null(;\s*// the build's sites)$",
                    json.dumps(parse_sites(args.sites)), "sites")
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "extension", "rules.js"),
                  encoding="utf-8") as f:
            rules = f.read()
        rules = rules[rules.index("var ZarnRules = "):].strip()
        text = fill(text, args.source, r"^(\s*)var ZarnRules = null;(\s*// the build's rules\.js)$",
                    indent(rules), "rules")
    line = re.compile(r"^(\s*var links = ).*(;\s*// the build's links)$", re.M)
    if len(line.findall(text)) != 1:
        sys.exit("%s: no single links line to fill in" % args.source)
    links = json.dumps(parse_links(args.links), sort_keys=True)
    text = line.sub(lambda m: m.group(1) + links + m.group(2), text)
    line = re.compile(r'^(\s*var version = )"[0-9.]*"(;\s*// the build\'s version)$', re.M)
    if len(line.findall(text)) != 1:
        sys.exit("%s: no single version line to fill in" % args.source)
    text = line.sub(lambda m: m.group(1) + json.dumps(module_version(args.version)) + m.group(2), text)
    with open(args.out, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    i = commands.add_parser("id")
    i.add_argument("--key", required=True)
    b = commands.add_parser("build")
    for name in ("--source", "--out", "--sites", "--key", "--version", "--gecko-id", "--links"):
        b.add_argument(name, required=True)
    b.add_argument("--firefox-update-url", default="")
    lib = commands.add_parser("library")
    for name in ("--source", "--out", "--links", "--version"):
        lib.add_argument(name, required=True)
    for command in (b, lib):
        command.add_argument("--protocol", default=PROTOCOL_TABLE)
    lib.add_argument("--sites")
    p = commands.add_parser("pack")
    for name in ("--out", "--key"):
        p.add_argument(name, required=True)
    c = commands.add_parser("sites")
    c.add_argument("--sites", required=True)
    args = parser.parse_args()
    if args.command == "sites":
        left_out = []
        print(json.dumps(parse_sites(args.sites, left_out)))
        for entry, why in left_out:
            print("%s: %s" % (entry, why), file=sys.stderr)
        sys.exit(1 if left_out else 0)
    elif args.command == "pack":
        pack(args)
    elif args.command == "library":
        library(args)
    elif args.command == "id":
        print(chromium_id(public_der(args.key)))
    else:
        build(args)


if __name__ == "__main__":
    main()
