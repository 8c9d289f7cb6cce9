#!/usr/bin/env python3
"""Turns PEM public keys (EC P-256, as `openssl ec -pubout` writes them) into a
C++ source that holds each key's point for the release check.

    release_keys.py KEYS.pem OUT.cpp

KEYS.pem holds one or more "PUBLIC KEY" blocks; anything else in the file is
ignored. Exits non-zero, naming the problem, when a block is not an
uncompressed P-256 key or the file holds none.
"""

import base64
import re
import sys

# SubjectPublicKeyInfo of an uncompressed P-256 point, up to the point itself:
# SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 0x04 ... } }
SPKI_PREFIX = bytes.fromhex(
    "3059301306072a8648ce3d020106082a8648ce3d030107034200")


def points(text):
    blocks = re.findall(r"-----BEGIN PUBLIC KEY-----(.*?)-----END PUBLIC KEY-----", text, re.S)
    if not blocks:
        raise ValueError("no PUBLIC KEY block")
    for i, block in enumerate(blocks, 1):
        try:
            der = base64.b64decode("".join(block.split()), validate=True)
        except ValueError:
            raise ValueError("key %d is not base64" % i)
        if len(der) != len(SPKI_PREFIX) + 65 or not der.startswith(SPKI_PREFIX) \
                or der[len(SPKI_PREFIX)] != 4:
            raise ValueError("key %d is not an uncompressed EC P-256 public key" % i)
        yield der[len(SPKI_PREFIX) + 1:]


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        with open(sys.argv[1], encoding="ascii") as f:
            keys = list(points(f.read()))
    except (OSError, UnicodeDecodeError, ValueError) as error:
        print("%s: %s" % (sys.argv[1], error), file=sys.stderr)
        return 1
    rows = []
    for point in keys:
        rows.append("    {{" + ", ".join("0x%02x" % b for b in point) + "}},")
    source = ("// Generated from %s: the public keys a release must be signed with.\n"
              "#include \"update/release_keys.h\"\n\n"
              "namespace zarn {\n\n"
              "namespace {\n"
              "constexpr ReleaseKey kKeys[] = {\n%s\n};\n"
              "}  // namespace\n\n"
              "std::span<const ReleaseKey> ReleaseKeys() { return kKeys; }\n\n"
              "}  // namespace zarn\n"
              % (sys.argv[1].replace("\\", "/"), "\n".join(rows)))
    try:
        with open(sys.argv[2], encoding="ascii") as f:
            if f.read() == source:
                return 0
    except OSError:
        pass
    with open(sys.argv[2], "w", encoding="ascii") as f:
        f.write(source)
    return 0


if __name__ == "__main__":
    sys.exit(main())
