"""Fails when a module imports anything but system DLLs (no MinGW runtime DLLs)."""
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
