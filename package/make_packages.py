#!/usr/bin/env python3
"""Makes the signed delivery packages from the two built modules.

  make_packages.py SOURCE_DIR OUT_DIR

Writes to OUT_DIR: ZarnCtrl2-x86.msi, ZarnCtrl2-x64.msi, ZarnCtrl2-x86.cab,
ZarnCtrl2-x64.cab and zarn.html, with a work folder per architecture. Every
module, CAB and MSI is signed with SHA-256 by osslsigncode: with the
certificate of ZARN_SIGN_CERT and ZARN_SIGN_KEY when both are set, otherwise
with a throwaway test CA made under OUT_DIR/test-ca/ (its certificate is
OUT_DIR/test-ca.crt). ZARN_SIGN_TIMESTAMP, when set, names the RFC 3161
timestamp server for every signature.
"""
import os
import re
import shutil
import struct
import subprocess
import sys

ARCHES = {"x86": "i686", "x64": "x86_64"}


def run(*args, **kw):
    subprocess.run(args, check=True, **kw)


def module_version(path):
    """The file version of a module's version resource, as four numbers.
    VS_FIXEDFILEINFO starts with its signature 0xFEEF04BD; the file version
    follows the structure version as two 32-bit halves."""
    data = open(path, "rb").read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        raise SystemExit(f"{path}: no version resource")
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


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


def make_arch(source, out, arch, cert, key):
    work = os.path.join(out, arch)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    module = os.path.join(work, "ZarnCtrl2.ocx")
    shutil.copyfile(os.path.join(source, "build", ARCHES[arch], "ZarnCtrl2.ocx"), module)
    sign(module, cert, key)
    version = module_version(module)

    # wixl resolves file names against the working folder, so it runs there.
    msi = os.path.join(out, f"ZarnCtrl2-{arch}.msi")
    run("wixl", "-a", arch, "-o", msi, "-D", f"Arch={arch}",
        "-D", "Version=" + ".".join(map(str, version)), "-D", "Module=ZarnCtrl2.ocx",
        os.path.join(source, "package", "ZarnCtrl2.wxs"), cwd=work)
    # The registry rows, from the table the module registers itself from. They
    # go in after wixl, which cannot store text outside ASCII, with the Korean
    # code page the type names need set first.
    tables = os.path.join(work, "tables")
    os.makedirs(tables)
    with open(os.path.join(tables, "_ForceCodepage.idt"), "wb") as idt:
        idt.write(b"\r\n\r\n949\t_ForceCodepage\r\n")
    resources = os.path.join(source, "resources")
    run("python3", os.path.join(source, "cmake", "registry_table.py"), "idt",
        os.path.join(source, "control", "registration.table"),
        os.path.join(resources, "Web_Control.idl"), os.path.join(resources, "ZarnCtrl2.rc"),
        os.path.join(resources, "resource.h"), arch, "ZarnCtrl2.ocx", "ZarnCtrl2",
        os.path.join(tables, "Registry.idt"))
    run("msibuild", msi, "-i", "_ForceCodepage.idt", cwd=tables)
    run("msibuild", msi, "-i", "Registry.idt", cwd=tables)
    sign(msi, cert, key)

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


def write_page(source, out, version):
    text = open(os.path.join(source, "package", "zarn.html.in"), encoding="utf-8").read()
    text = text.replace("@CLASS_ID@", class_id(source).strip("{}"))
    text = text.replace("@VERSION_COMMAS@", ",".join(map(str, version)))
    open(os.path.join(out, "zarn.html"), "w", encoding="utf-8").write(text)
    # The page library the page loads, beside it.
    shutil.copyfile(os.path.join(source, "browser", "zarn.js"), os.path.join(out, "zarn.js"))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    source, out = (os.path.abspath(p) for p in sys.argv[1:])
    os.makedirs(out, exist_ok=True)
    cert, key, test_signed = signing_identity(out)
    versions = {arch: make_arch(source, out, arch, cert, key) for arch in ARCHES}
    if versions["x86"] != versions["x64"]:
        sys.exit(f"the two modules disagree on their version: {versions}")
    write_page(source, out, versions["x86"])
    print(f"== packages in {out}")
    if test_signed:
        print("== TEST-SIGNED: these packages are signed by a throwaway test CA "
              f"({os.path.join(out, 'test-ca.crt')}), which no machine trusts. Set "
              "ZARN_SIGN_CERT and ZARN_SIGN_KEY to sign a release.")


if __name__ == "__main__":
    main()
