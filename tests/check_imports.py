"""check_imports.py OBJDUMP MODULE
    Fails when the module imports anything but system DLLs (no MinGW runtime
    DLLs), or does not export exactly the four COM entry points by their
    plain names (a 32-bit build would otherwise export stdcall names such as
    DllGetClassObject@12, which COM does not look up).

check_imports.py --host OBJDUMP BUILD_DIR WINE_DLL_DIR
    Fails when the bridge host (BUILD_DIR/zarn-bridge.exe) loads at its start anything but the DLLs every
    request needs (kernel32, advapi32, the C runtime), when it loads late any
    DLL but those it is built to load late, or when a function it loads late
    is not exported by that DLL (WINE_DLL_DIR holds the system's DLLs of the
    host's architecture): such a call would fail only once a page makes it.
"""
import os
import struct
import subprocess
import sys

FORBIDDEN = ("libstdc++", "libgcc", "libwinpthread", "mingw")
HOST_AT_START = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
HOST_LATE = {"user32.dll", "gdi32.dll", "shell32.dll", "shlwapi.dll", "ole32.dll",
             "oleaut32.dll", "comctl32.dll", "comdlg32.dll", "wininet.dll", "urlmon.dll"}


def exported_names(objdump, dll):
    out = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    lines = out.splitlines()
    names = []
    if "[Ordinal/Name Pointer] Table" in out:
        start = next(i for i, l in enumerate(lines) if "[Ordinal/Name Pointer] Table" in l)
        for line in lines[start + 1:]:
            if not line.strip().startswith("["):
                break
            names.append(line.split("]", 1)[1].strip())
    return names


def delay_imports(path):
    """{dll: [function names]} from the program's delay-load descriptors.
    The linker does not enter them in the delay-import directory, so they are
    found by their shape: attributes 1 (RVAs), an RVA of a name ending in
    .dll, and an RVA of a zero-ended table of names."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    wide = struct.unpack_from("<H", data, pe + 24)[0] == 0x20B
    table = []
    for i in range(sections):
        _, _, va, raw_size, raw = struct.unpack_from("<8sIIII", data, pe + 24 + optional + 40 * i)
        table.append((va, raw_size, raw))

    def offset(rva):
        for va, size, raw in table:
            if va <= rva < va + size:
                return raw + rva - va
        return None

    def text(rva):
        at = offset(rva)
        return None if at is None else data[at:data.find(b"\0", at)].decode("latin-1")

    found = {}
    for va, size, raw in table:
        for at in range(raw, raw + size - 32, 4):
            attributes, name_rva, _, _, names_rva, _, _, stamp = struct.unpack_from("<8I", data, at)
            if attributes != 1 or stamp != 0:
                continue
            dll = text(name_rva)
            names_at = offset(names_rva)
            if not dll or not dll.lower().endswith(".dll") or names_at is None:
                continue
            functions = []
            step, ordinal_bit = (8, 1 << 63) if wide else (4, 1 << 31)
            while True:
                entry = struct.unpack_from("<Q" if wide else "<I", data, names_at)[0]
                if entry == 0:
                    break
                functions.append("#%d" % (entry & 0xFFFF) if entry & ordinal_bit
                                 else text(entry + 2))
                names_at += step
            found[dll.lower()] = functions
    return found


def check_host(objdump, build, wine_dlls):
    host = os.path.join(build, "zarn-bridge.exe")
    out = subprocess.run([objdump, "-p", host], check=True, capture_output=True, text=True).stdout
    at_start = {line.split(":", 1)[1].strip().lower() for line in out.splitlines()
                if "DLL Name:" in line}
    late = delay_imports(host)
    print("at start:", ", ".join(sorted(at_start)))
    print("late:", ", ".join("%s (%d)" % (dll, len(names)) for dll, names in sorted(late.items())))
    faults = []
    if not at_start or not late:
        faults.append("no import table or no delay-load descriptors found")
    faults += ["%s is loaded at the start" % dll for dll in sorted(at_start - HOST_AT_START)]
    faults += ["%s is loaded late but is not meant to be" % dll for dll in sorted(set(late) - HOST_LATE)]
    for dll, names in sorted(late.items()):
        path = os.path.join(wine_dlls, dll)
        if not os.path.isfile(path):
            faults.append("%s: not in %s" % (dll, wine_dlls))
            continue
        exported = set(exported_names(objdump, path))
        faults += ["%s!%s is not exported" % (dll, name) for name in names
                   if name is None or (not name.startswith("#") and name not in exported)]
    if faults:
        sys.exit("\n".join(faults))


if sys.argv[1] == "--host":
    check_host(*sys.argv[2:5])
    sys.exit(0)

objdump, module = sys.argv[1], sys.argv[2]
out = subprocess.run([objdump, "-p", module], check=True, capture_output=True, text=True).stdout
dlls = [line.split(":", 1)[1].strip() for line in out.splitlines() if "DLL Name:" in line]
print("imports:", ", ".join(dlls))
bad = [d for d in dlls if any(f in d.lower() for f in FORBIDDEN)]
if not dlls:
    sys.exit("no import table found")
if bad:
    sys.exit(f"non-system imports: {bad}")

EXPECTED_EXPORTS = ["DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                    "DllUnregisterServer"]
lines = out.splitlines()
exports = []
if "[Ordinal/Name Pointer] Table" in out:
    start = next(i for i, l in enumerate(lines) if "[Ordinal/Name Pointer] Table" in l)
    for line in lines[start + 1:]:
        if not line.strip().startswith("["):
            break
        exports.append(line.split("]", 1)[1].strip())
print("exports:", ", ".join(exports))
if sorted(exports) != EXPECTED_EXPORTS:
    sys.exit(f"exports are {exports}, expected {EXPECTED_EXPORTS}")
