#!/usr/bin/env python3
"""Writes tests/data/rsa/every_hash.txt: a good PKCS #1 v1.5 signature block for every
digest identifier the decoder knows, with and without the NULL parameter, under each
fixed test key (tests/data/crypto/keys/test*.pem), in the form of blocks.txt. Blocks
are signed with the raw private operation, pow(block, d, n). Run once after changing
the keys."""
import base64
import hashlib
import os

from der import items, tlv

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
KEYS = os.path.join(ROOT, "tests", "data", "crypto", "keys")
OUT = os.path.join(ROOT, "tests", "data", "rsa", "every_hash.txt")

# identifier, name, hash identifier of the toolkit, digest size
ALGORITHMS = [
    ("2a864886f70d0202", "md2", 2, 16),
    ("2a864886f70d0204", "md4", 3, 16),
    ("2a864886f70d0205", "md5", 4, 16),
    ("2b0e03021a", "sha1", 5, 20),
    ("2b0e03021d", "sha1-oiw", 5, 20),
    ("608648016503040204", "sha224", 14, 28),
    ("608648016503040201", "sha256", 11, 32),
    ("608648016503040202", "sha384", 12, 48),
    ("608648016503040203", "sha512", 13, 64),
]


lines = ["# Made by scripts/make_every_hash_blocks.py: per test key, a good block for every digest",
         "# identifier, with the NULL parameter and without it (\"-bare\"), in the form of blocks.txt."]
for bits in (1024, 2048, 4096):
    with open(os.path.join(KEYS, "test%d.pem" % bits)) as f:
        pem = "".join(line.strip() for line in f if not line.startswith("-----"))
    pkcs8 = items(items(base64.b64decode(pem))[0][1])
    numbers = [int.from_bytes(c, "big") for _, c in items(items(pkcs8[2][1])[0][1])]
    n, e, d = numbers[1], numbers[2], numbers[3]
    assert e == 65537
    k = (n.bit_length() + 7) // 8
    lines.append("key " + n.to_bytes(k, "big").hex())
    for oid, name, ident, size in ALGORITHMS:
        digest = hashlib.sha512(b"%d %s" % (bits, name.encode())).digest()[:size]
        for parameters, suffix in ((b"\x05\x00", ""), (b"", "-bare")):
            info = tlv(0x30, tlv(0x30, tlv(0x06, bytes.fromhex(oid)) + parameters) +
                       tlv(0x04, digest))
            eb = b"\x00\x01" + b"\xff" * (k - 3 - len(info)) + b"\x00" + info
            s = pow(int.from_bytes(eb, "big"), d, n).to_bytes(k, "big")
            lines.append("%d-%s%s 0 %d %s %s" % (bits, name, suffix, ident, digest.hex(), s.hex()))
with open(OUT, "w") as f:
    f.write("\n".join(lines) + "\n")
