"""Fails when a module imports anything but system DLLs (no MinGW runtime DLLs),
or does not export exactly the four COM entry points by their plain names (a
32-bit build would otherwise export stdcall names such as DllGetClassObject@12,
which COM does not look up)."""
import subprocess
import sys

FORBIDDEN = ("libstdc++", "libgcc", "libwinpthread", "mingw")

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
