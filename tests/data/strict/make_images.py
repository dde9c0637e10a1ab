#!/usr/bin/env python3
"""Makes the signed images of the strict image rule tests.

Each image is layout 3 with three records: the data signature (tag 3), the
security counter (tag 10) and the manifest signature (tag 9, over the whole
image with the crc field and its own signature bytes read as zero), both
signatures RSA PKCS #1 v1.5 over SHA-256 made with openssl. Name:
<type>-<counter>[-dev].img. Run from anywhere after changing keys/."""
import os
import struct
import subprocess
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
KEYS = os.path.join(HERE, "..", "..", "..", "keys")
TYPES = {"app": 1, "bootloader": 2, "kernel": 3, "rfs": 4, "devicetree": 5, "diags": 6,
         "kvrt": 8}
IMAGES = [(name, 5, "production") for name in TYPES] + [("app", 4, "production"),
                                                         ("app", 6, "development")]


def sign(data, key):
    return subprocess.run(["openssl", "dgst", "-sha256", "-sign",
                           os.path.join(KEYS, key + ".key.pem")],
                          input=data, capture_output=True, check=True).stdout


def record(tag, body):
    return struct.pack(">HH", tag, 4 + len(body)) + body


def crc(data):  # the image CRC: zlib's CRC-32 without its final complement
    return zlib.crc32(data) ^ 0xFFFFFFFF


def image(type_number, counter, key):
    data = bytes((7 * j + 13 * type_number + counter) & 0xFF for j in range(300))
    records = [record(3, struct.pack(">H", 256) + sign(data, key)),
               record(10, struct.pack(">I", counter)),
               record(9, struct.pack(">H", 256) + bytes(256))]
    h = 24 + sum(len(r) for r in records)
    img = bytearray(struct.pack(">IIIIIHH", 0, h + len(data) - 16,
                                (type_number << 24) | 0x4C4144, 0x01020300 | counter,
                                0x48445233, 0, h) + b"".join(records) + data)
    manifest_at = h - 256  # the manifest record is the last one
    img[manifest_at:h] = sign(bytes(img), key)
    img[0:4] = struct.pack(">I", crc(bytes(img[4:])))
    return bytes(img)


for name, counter, key in IMAGES:
    suffix = "-dev" if key == "development" else ""
    with open(os.path.join(HERE, f"{name}-{counter}{suffix}.img"), "wb") as f:
        f.write(image(TYPES[name], counter, key))
