#!/usr/bin/env python3
"""Reads control/registration.table and writes what is made from it.

  registry_table.py header TABLE IDL RC RESOURCE_H OUT.h
      the rows as C++ data for DllRegisterServer, with the GUIDs the table
      names and the category descriptions
  registry_table.py idt TABLE IDL RC RESOURCE_H ARCH FILE_ID COMPONENT
                        HOST_COMPONENT MANIFEST_ID FIREFOX_MANIFEST_ID
                        OFFER_COMPONENT CHROME_STORE_ID EDGE_STORE_ID OUT.idt
      the rows as the Registry table of an MSI of ARCH (x86 or x64): the
      module's rows in COMPONENT with every path pointing at the file FILE_ID,
      the bridge host's rows in HOST_COMPONENT pointing at the files
      MANIFEST_ID and FIREFOX_MANIFEST_ID (its two host manifests), and the
      browsers' external-extension entries in OFFER_COMPONENT for the store
      IDs given (either may be empty: no entry names an empty ID)

GUIDs come from the table's own guid lines and from the IDL's uuid()
attributes (library, coclass and dispinterface names); the type library's
version from the IDL's library version(); the control's ProgID from the
table's progid line; string resources from the .rc's STRINGTABLE, resolved
through resource.h. Anything unresolved is an error, so a typo cannot reach a
package.
"""
import re
import sys


class TableError(Exception):
    pass


def read_idl(path):
    """Names and uuids of the library, coclasses and dispinterfaces, and the
    library's help string and version."""
    text = open(path, encoding="utf-8").read()
    guids, help_text, version = {}, None, None
    for attrs, kind, name in re.findall(
            r"\[([^\[\]]*)\]\s*(library|coclass|dispinterface|interface)\s+(\w+)", text):
        uuid = re.search(r"uuid\(([0-9A-Fa-f-]{36})\)", attrs)
        if uuid:
            guids[name] = "{" + uuid.group(1).upper() + "}"
        if kind == "library":
            found = re.search(r'helpstring\("([^"]*)"\)', attrs)
            help_text = found.group(1) if found else ""
            found = re.search(r"version\((\d+)\.(\d+)\)", attrs)
            if not found:
                raise TableError(f"{path}: the library has no version(MAJOR.MINOR)")
            version = (int(found.group(1)), int(found.group(2)))
    if help_text is None:
        raise TableError(f"{path}: no library")
    return guids, help_text, version


def read_strings(rc_path, header_path):
    ids = {m.group(1): int(m.group(2)) for m in re.finditer(
        r"^#define\s+(\w+)\s+(\d+)", open(header_path, encoding="utf-8").read(), re.M)}
    rc = open(rc_path, encoding="utf-8").read()
    strings = {}
    for block in re.findall(r"STRINGTABLE\s+BEGIN(.*?)END", rc, re.S):
        for name, value in re.findall(r'^\s*(\w+)\s+"((?:[^"]|"")*)"', block, re.M):
            if name in ids:
                strings[ids[name]] = value.replace('""', '"')
    return strings


class Row:
    def __init__(self, group, key, name, value):
        self.group, self.key, self.name, self.value = group, key, name, value


def read_table(path, idl_guids):
    guids, rows, progid = dict(idl_guids), [], None
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        where = f"{path}:{number}"
        kind, _, rest = line.partition(" ")
        if kind == "guid":
            name, guid = rest.split()
            if not re.fullmatch(r"\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}", guid):
                raise TableError(f"{where}: bad GUID {guid}")
            guids[name] = guid
        elif kind == "progid":
            if progid is not None or not re.fullmatch(r"[A-Za-z][\w.]*", rest.strip()):
                raise TableError(f"{where}: one 'progid NAME' line, a ProgID of letters, "
                                 "digits, _ and .")
            progid = rest.strip()
        elif kind == "row":
            group, _, rest = rest.strip().partition(" ")
            parts = [p.strip() for p in rest.split("|")]
            if len(parts) != 3 or group not in ("class", "page", "typelib", "interface",
                                                   "category", "host", "offer"):
                raise TableError(f"{where}: expected 'row GROUP KEY | NAME | VALUE'")
            rows.append(Row(group, *parts))
        else:
            raise TableError(f"{where}: unknown line")
    if progid is None:
        raise TableError(f"{path}: no progid line")
    return guids, rows, progid


class Identity:
    """What names the control: its ProgID and the type library's help string
    and version."""

    def __init__(self, progid, help_text, version):
        self.progid, self.help, self.version = progid, help_text, version


class Resolver:
    """Expands {GUID} names, [string:N], [progid], [typelib.help] and
    [typelib.version] at build time; the path placeholders are left to the
    caller's `paths` mapping."""

    def __init__(self, guids, strings, identity, paths):
        self.guids, self.strings, self.identity, self.paths = guids, strings, identity, paths

    def __call__(self, text):
        def guid(m):
            if m.group(1) not in self.guids:
                raise TableError(f"unknown GUID name {m.group(1)}")
            return self.guids[m.group(1)]

        def placeholder(m):
            item = m.group(1)
            if item.startswith("string:"):
                if self.strings is None:  # left for the module to load
                    return m.group(0)
                number = int(item[7:])
                if number not in self.strings:
                    raise TableError(f"no string resource {number}")
                return self.strings[number]
            if item == "typelib.help":
                return self.identity.help
            if item == "typelib.version":
                return "%d.%d" % self.identity.version
            if item == "progid":
                return self.identity.progid
            if item in self.paths:
                return self.paths[item]
            raise TableError(f"unknown placeholder [{item}]")

        return re.sub(r"\[([\w.:]+)\]", placeholder, re.sub(r"\{(\w+)\}", guid, text))


def cxx_string(text):
    out = []
    for ch in text:
        if ch in '\\"':
            out.append("\\" + ch)
        elif 0x20 <= ord(ch) < 0x7F:
            out.append(ch)
        else:
            out.append(f'\\x{ord(ch):04x}""')  # split so a following hex digit stays out
    return 'L"' + "".join(out) + '"'


def cxx_guid(name, text):
    h = text.strip("{}").replace("-", "")
    data4 = ", ".join(f"0x{h[i:i + 2]}" for i in range(16, 32, 2))
    return (f"inline constexpr GUID kTableGuid_{name} = {{0x{h[0:8]}, 0x{h[8:12]}, "
            f"0x{h[12:16]}, {{{data4}}}}};")


def write_header(out, guids, rows, identity, own_guids):
    # [module], [module_dir] and [typelib.platform] stay for the module to
    # fill in at run time; [string:N] stays too, loaded from its resources.
    keep = {p: f"[{p}]" for p in ("module", "module_dir", "typelib.platform")}
    resolve = Resolver(guids, None, identity, keep)
    lines = ["// Generated from control/registration.table by cmake/registry_table.py.",
             "#pragma once", "", "#include <windows.h>", "",
             "enum class RegistryGroup { Class, Page, TypeLib, Interface, Category };", "",
             "struct RegistryRow {",
             "    RegistryGroup group;",
             "    const wchar_t* key;    // under HKEY_CLASSES_ROOT",
             "    const wchar_t* name;   // nullptr: the default value",
             "    const wchar_t* value;  // nullptr: the key alone",
             "};", ""]
    for name in own_guids:
        lines.append(cxx_guid(name, guids[name]))
    # The host and offer rows belong to the packages; the module never
    # writes them.
    rows = [row for row in rows if row.group not in ("host", "offer")]
    lines += ["", f"inline constexpr wchar_t kTableProgId[] = {cxx_string(identity.progid)};",
              f"inline constexpr WORD kTableTypeLibMajor = {identity.version[0]};",
              f"inline constexpr WORD kTableTypeLibMinor = {identity.version[1]};"]
    lines += ["", "inline constexpr RegistryRow kRegistryRows[] = {"]
    groups = {"class": "Class", "page": "Page", "typelib": "TypeLib", "interface": "Interface",
              "category": "Category"}
    for row in rows:
        value = resolve(row.value)
        name = "nullptr" if row.name in ("@", "(key)") else cxx_string(row.name)
        val = "nullptr" if row.name == "(key)" else cxx_string(value)
        lines.append(f"    {{RegistryGroup::{groups[row.group]}, {cxx_string(resolve(row.key))}, "
                     f"{name}, {val}}},")
    lines.append("};")
    for row in rows:
        m = re.fullmatch(r"Component Categories\\\{(\w+)\}", row.key)
        if row.group == "category" and m and row.name == "409":
            lines.append(f"inline constexpr wchar_t kCategoryDescription_{m.group(1)}[] = "
                         f"{cxx_string(row.value)};")
    open(out, "w", encoding="utf-8").write("\n".join(lines) + "\n")


CHROME_STORE_UPDATE = "https://clients2.google.com/service/update2/crx"
EDGE_STORE_UPDATE = "https://edge.microsoft.com/extensionwebstorebase/v1/crx"


def store_ids(chrome, edge):
    """The placeholders of the offer rows: Edge takes the Chrome Web Store's
    extension, from that store, when the build names none of its own."""
    for text in (chrome, edge):
        if text and not re.fullmatch(r"[a-p]{32}", text):
            raise TableError(f"not a Chromium extension ID: {text!r}")
    edge_url = EDGE_STORE_UPDATE if edge else CHROME_STORE_UPDATE
    return {"store.chrome_id": chrome, "store.edge_id": edge or chrome,
            "store.edge_update_url": edge_url}


def write_idt(out, guids, rows, strings, identity, arch, file_id, component, host, offer):
    """The MSI's Registry table as an archive file for msibuild, in UTF-8
    (the database holds it in its own code page). Root 2 is HKEY_LOCAL_MACHINE;
    the component's bitness picks the registry view. A 64-bit package writes
    the interface rows into the 32-bit view too, by its Wow6432Node path; a
    32-bit package cannot reach the 64-bit view at all.

    `host` is (component, Chromium manifest's file id, Firefox manifest's
    file id). The host rows stay in the package's own view: the browsers read
    both, and the two packages, installed side by side, then never write or
    remove each other's values.

    `offer` is (component, Chrome Web Store ID, Edge Add-ons ID). Its rows go
    to the 32-bit view, which Chrome and Edge read for external extensions
    on either architecture: the component is a 32-bit one in both packages,
    under one GUID, so the installer keeps the entries while either package
    is installed."""
    host_component, manifest_id, firefox_manifest_id = host
    offer_component, chrome_id, edge_id = offer
    stores = store_ids(chrome_id, edge_id)
    paths = {"module": f"[#{file_id}]", "module_dir": "[INSTALLDIR]",
             "typelib.platform": "win64" if arch == "x64" else "win32",
             "bridge.manifest": f"[#{manifest_id}]",
             "bridge.firefox_manifest": f"[#{firefox_manifest_id}]", **stores}
    resolve = Resolver(guids, strings, identity, paths)
    lines = ["Registry\tRoot\tKey\tName\tValue\tComponent_",
             "s72\ti2\tl255\tL255\tL0\ts72",
             "Registry\tRegistry"]
    # An offer row without its store's ID is no entry at all.
    rows = [row for row in rows if row.group != "offer" or
            all(stores[name] for name in re.findall(r"\[(store\.\w+)\]", row.key))]
    entries = [("Software\\" if row.group in ("host", "offer") else "Software\\Classes\\", row)
               for row in rows]
    if arch == "x64":
        entries += [("Software\\Classes\\Wow6432Node\\", row) for row in rows
                    if row.group == "interface"]
    for number, (view, row) in enumerate(entries, 1):
        key = view + resolve(row.key)
        if row.name == "(key)":
            # "*" with no value: the key is made on install and removed on uninstall.
            name, value = "*", ""
        else:
            name = "" if row.name == "@" else row.name
            value = resolve(row.value)
        for text in (key, name, value):
            if any(c in text for c in "\t\r\n"):
                raise TableError(f"tab or line break in {text!r}")
        owner = {"host": host_component, "offer": offer_component}.get(row.group, component)
        lines.append(f"{row.group}{number:02d}\t2\t{key}\t{name}\t{value}\t{owner}")
    with open(out, "w", encoding="utf-8", newline="\r\n") as idt:
        idt.write("\n".join(lines) + "\n")


def main(argv):
    if len(argv) < 6 or argv[1] not in ("header", "idt"):
        sys.exit(__doc__)
    table, idl, rc, resource_h = argv[2:6]
    idl_guids, help_text, version = read_idl(idl)
    guids, rows, progid = read_table(table, idl_guids)
    identity = Identity(progid, help_text, version)
    own = [n for n in guids if n not in idl_guids]
    strings = read_strings(rc, resource_h)
    if argv[1] == "header" and len(argv) == 7:
        write_header(argv[6], guids, rows, identity, own)
    elif argv[1] == "idt" and len(argv) == 16 and argv[6] in ("x86", "x64"):
        write_idt(argv[15], guids, rows, strings, identity, argv[6], argv[7], argv[8],
                  tuple(argv[9:12]), tuple(argv[12:15]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    try:
        main(sys.argv)
    except TableError as error:
        sys.exit(f"registry_table.py: {error}")
