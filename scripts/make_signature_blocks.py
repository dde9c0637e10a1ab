#!/usr/bin/env python3
"""Writes tests/data/rsa/blocks.txt: PKCS #1 v1.5 signature blocks under the
production test key (keys/production.key.pem), each breaking one rule of the
signature decoder, with the status RSA_extractDigest must give, and the good
block. Every block is signed with the raw private operation, pow(block, d, n),
so that any block can be made. Run once after changing the key."""
import base64
import hashlib
import os

from der import items, tlv

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
KEY = os.path.join(ROOT, "keys", "production.key.pem")
OUT = os.path.join(ROOT, "tests", "data", "rsa", "blocks.txt")

SHA256 = bytes.fromhex("608648016503040201")  # 2.16.840.1.101.3.4.2.1
MD5 = bytes.fromhex("2a864886f70d0205")  # 1.2.840.113549.2.5
SHA256_WITH_RSA = bytes.fromhex("2a864886f70d01010b")  # a signature algorithm, no digest
NULL = bytes([0x05, 0x00])


def digest_info(oid, digest, parameters=NULL):
    return tlv(0x30, tlv(0x30, tlv(0x06, oid) + parameters) + tlv(0x04, digest))


with open(KEY) as f:
    pem = "".join(line.strip() for line in f if not line.startswith("-----"))
pkcs8 = items(items(base64.b64decode(pem))[0][1])  # version, algorithm, key
numbers = [int.from_bytes(c, "big") for _, c in items(items(pkcs8[2][1])[0][1])]
n, e, d = numbers[1], numbers[2], numbers[3]
assert e == 65537
k = (n.bit_length() + 7) // 8


def block(message, first=0x00, block_type=0x01):
    return bytes([first, block_type]) + b"\xff" * (k - 3 - len(message)) + b"\x00" + message


def sign(eb):
    return pow(int.from_bytes(eb, "big"), d, n).to_bytes(k, "big")


# A message whose good signature s still fits in k bytes when n is added.
counter = 0
while True:
    message = b"signature block %d" % counter
    digest = hashlib.sha256(message).digest()
    good = digest_info(SHA256, digest)
    s = sign(block(good))
    if int.from_bytes(s, "big") + n < 1 << (8 * k):
        break
    counter += 1

fe = bytearray(block(good))
fe[20] = 0xFE


def short_padding(count):  # 00 01, count bytes of 0xFF, 00, the DigestInfo, zeros
    eb = bytes([0, 1]) + b"\xff" * count + b"\x00" + good
    return eb + bytes(k - len(eb))


inside = bytearray(good + NULL)  # a third item in the DigestInfo
inside[1] += len(NULL)
parameters = digest_info(SHA256, digest, bytes([0x04, 0x00]))

rows = [
    ("good", 0, s),
    ("one-byte-short", -7609, s[:-1]),
    ("first-byte-01", -7702, sign(block(good, first=0x01))),
    ("block-type-00", -7702, sign(block(good, block_type=0x00))),
    ("block-type-02", -7702, sign(block(good, block_type=0x02))),
    ("seven-ff", -7702, sign(short_padding(7))),
    ("eight-ff", -7603, sign(short_padding(8))),  # padding good, DigestInfo not
    ("fe-in-padding", -7702, sign(bytes(fe))),
    ("no-separator", -7702, sign(bytes([0, 1]) + b"\xff" * (k - 2))),
    ("s-plus-n", -7702, (int.from_bytes(s, "big") + n).to_bytes(k, "big")),
    ("empty-message", -7603, sign(block(b""))),
    ("byte-after-digestinfo", -7603, sign(block(good + b"\x00"))),
    ("item-after-digest", -7609, sign(block(bytes(inside)))),
    ("long-form-length", -7603, sign(block(bytes([0x30, 0x81]) + good[1:]))),
    ("parameters-not-null", -7603, sign(block(parameters))),
    ("unknown-arc", -7603, sign(block(digest_info(SHA256[:-1] + b"\x09", b"")))),
    ("not-a-digest-algorithm", -7604, sign(block(digest_info(SHA256_WITH_RSA, digest)))),
    ("md5-for-sha256", -7609, sign(block(digest_info(MD5, digest)))),
    ("digest-one-byte-short", -7609, sign(block(digest_info(SHA256, digest[:-1])))),
]

os.makedirs(os.path.dirname(OUT), exist_ok=True)
with open(OUT, "w") as out:
    out.write("# Made by scripts/make_signature_blocks.py: the production test key, then per row\n"
              "# name, status of RSA_extractDigest, hash identifier and digest (- unless 0),\n"
              "# signature. The good block signs SHA-256 of \"%s\".\n" % message.decode())
    out.write("key %s\n" % n.to_bytes(k, "big").hex())
    for name, status, signature in rows:
        ok = status == 0
        out.write("%s %d %s %s %s\n" % (name, status, "11" if ok else "-",
                                        digest.hex() if ok else "-", signature.hex()))
