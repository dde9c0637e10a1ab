#!/usr/bin/env python3
"""Makes the production-key signatures of the installer tests' payloads.

A payload is never stored: payload(seed, size) repeats a 251-byte block whose
byte j is (7 * j + seed) mod 256, and the tests build the same bytes. Each
signature (RSA PKCS #1 v1.5 over SHA-256, 256 bytes) is stored as
<seed>-<size>.sig. Run from anywhere after changing keys/production.key.pem."""
import os
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
KEY = os.path.join(HERE, "..", "..", "..", "keys", "production.key.pem")
PAYLOADS = [(1, 3000), (2, 5000), (3, 4000), (4, 1000), (5, 100 * 1024 * 1024),
            (6, 1 << 20), (7, 2 << 20), (8, 2 << 20)]


def payload(seed, size):
    block = bytes((7 * j + seed) & 0xFF for j in range(251))
    return (block * (size // 251 + 1))[:size]


for seed, size in PAYLOADS:
    with tempfile.NamedTemporaryFile() as data:
        data.write(payload(seed, size))
        data.flush()
        subprocess.run(["openssl", "dgst", "-sha256", "-sign", KEY, "-out",
                        os.path.join(HERE, f"{seed}-{size}.sig"), data.name], check=True)
