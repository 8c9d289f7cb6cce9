#!/usr/bin/env python3
"""check_crx.py EXTENSION_DIR KEY: the build's CRX3 against the one Chromium
itself packs from the same folder with the same key. Both must carry the
same public key and extension ID, each signature must verify over its own
archive, and the two archives must hold the same files. Then tools/publish
refuses it (its key is a throwaway one) and places one packed with a key of
the release's own, with an update manifest that names its ID and version,
and refuses a wrong ID, a changed CRX or a version that does not grow."""

import hashlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile


def fields(data):
    """(number, bytes) of each length-delimited protobuf field."""
    at = 0
    while at < len(data):
        key, at = varint(data, at)
        length, at = varint(data, at)
        yield key >> 3, data[at:at + length]
        at += length


def varint(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, at


def parse(path):
    data = open(path, "rb").read()
    assert data[:4] == b"Cr24" and int.from_bytes(data[4:8], "little") == 3, path + ": not CRX3"
    size = int.from_bytes(data[8:12], "little")
    header, archive = data[12:12 + size], data[12 + size:]
    proofs, signed = [], None
    for number, value in fields(header):
        if number == 2:
            proof = dict(fields(value))
            proofs.append((proof[1], proof[2]))
        elif number == 10000:
            signed = value
    assert len(proofs) == 1 and signed is not None, path + ": expected one RSA proof and signed data"
    return proofs[0], signed, archive


def verify(key_der, signature, signed, archive, work):
    message = b"CRX3 SignedData\x00" + len(signed).to_bytes(4, "little") + signed + archive
    paths = [os.path.join(work, n) for n in ("key.der", "sig", "msg")]
    for p, content in zip(paths, (key_der, signature, message)):
        open(p, "wb").write(content)
    done = subprocess.run(["openssl", "dgst", "-sha256", "-keyform", "DER", "-verify", paths[0],
                           "-signature", paths[1], paths[2]], capture_output=True)
    return done.returncode == 0


def contents(archive):
    with zipfile.ZipFile(io.BytesIO(archive)) as z:
        return {n: z.read(n) for n in z.namelist()}


def main():
    extension, key = sys.argv[1], sys.argv[2]
    ours = os.path.join(extension, "zarn-extension.crx")
    with tempfile.TemporaryDirectory() as work:
        copy = os.path.join(work, "ext")
        shutil.copytree(os.path.join(extension, "chromium"), copy)
        subprocess.run(["/usr/lib/chromium/chromium", "--headless=new", "--no-sandbox",
                        "--user-data-dir=" + os.path.join(work, "profile"),
                        "--pack-extension=" + copy, "--pack-extension-key=" + key],
                       capture_output=True, timeout=120)
        theirs = copy + ".crx"
        assert os.path.exists(theirs), "Chromium packed nothing"
        (key_a, sig_a), signed_a, archive_a = parse(ours)
        (key_b, sig_b), signed_b, archive_b = parse(theirs)
        assert key_a == key_b, "the public keys differ"
        assert signed_a == signed_b, "the signed data (the ID) differ"
        assert dict(fields(signed_a))[1] == hashlib.sha256(key_a).digest()[:16]
        assert verify(key_a, sig_a, signed_a, archive_a, work), "our signature does not verify"
        assert verify(key_b, sig_b, signed_b, archive_b, work), "Chromium's does not verify (the check is wrong)"
        tampered = archive_a[:-1] + bytes([archive_a[-1] ^ 1])
        assert not verify(key_a, sig_a, signed_a, tampered, work), "a changed archive verifies"
        assert contents(archive_a) == contents(archive_b), "the archives hold different files"
        publish(ours, key_a, work)
    print("CRX3 matches Chromium's own packing: same key and ID, signature verified; the "
          "publishing tool refuses it (a throwaway key) and places one of a release key")


def publish(ours, key_der, work):
    """tools/publish refuses the build's CRX, signed by the tests' throwaway
    key, and places one signed by a key of the release's own."""
    tool = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "publish")
    root = os.path.join(work, "webroot")
    packer = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "browser",
                          "build_extension.py")

    def run(path, ident):
        return subprocess.run([sys.executable, tool, "extension", "--crx", path, "--id", ident,
                               "--url", "http://127.0.0.1:1/", "--out", root],
                              capture_output=True, text=True)

    def ident_of(der):
        return "".join(chr(ord("a") + int(c, 16)) for c in hashlib.sha256(der).hexdigest()[:32])

    refused = run(ours, ident_of(key_der))
    assert refused.returncode != 0 and "throwaway" in refused.stderr, refused.stderr
    release = os.path.join(work, "release")
    for tree in ("chromium", "firefox"):
        shutil.copytree(os.path.join(os.path.dirname(ours), tree), os.path.join(release, tree))
    key = os.path.join(work, "release-extension.pem")
    subprocess.run(["openssl", "genrsa", "-out", key, "2048"], check=True, capture_output=True)
    subprocess.run([sys.executable, packer, "pack", "--out", release, "--key", key], check=True)
    crx = os.path.join(release, "zarn-extension.crx")
    (release_der, _), _, _ = parse(crx)
    ident = ident_of(release_der)
    wrong = run(crx, ident_of(key_der))
    assert wrong.returncode != 0 and "not the release's" in wrong.stderr, wrong.stderr
    assert not os.path.exists(root), "a refused CRX was published"

    done = run(crx, ident)
    assert done.returncode == 0, done.stderr
    folder = os.path.join(root, "append", "application", "extension")
    assert open(os.path.join(folder, "zarn-extension.crx"), "rb").read() == open(crx, "rb").read()
    with zipfile.ZipFile(io.BytesIO(parse(crx)[2])) as z:
        version = json.loads(z.read("manifest.json"))["version"]
    updates = open(os.path.join(folder, "updates.xml"), encoding="utf-8").read()
    assert ("<app appid='%s'>" % ident) in updates, updates
    assert ("<updatecheck codebase='http://127.0.0.1:1/append/application/extension/"
            "zarn-extension.crx' version='%s' />" % version) in updates, updates
    again = run(crx, ident)
    assert again.returncode != 0 and "not above" in again.stderr, "the same version published twice"
    data = bytearray(open(crx, "rb").read())
    data[-40] ^= 1
    bad = os.path.join(work, "changed.crx")
    open(bad, "wb").write(data)
    shutil.rmtree(root)
    assert run(bad, ident).returncode != 0, "a changed CRX was published"
    assert not os.path.exists(os.path.join(folder, "updates.xml"))


if __name__ == "__main__":
    main()
