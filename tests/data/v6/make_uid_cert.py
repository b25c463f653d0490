#!/usr/bin/env python3
"""Writes v6-sample-uid.asc: the RFC 9580 sample v6 certificate (A.3) with a
user ID and a v6 positive certification made by the RFC's sample secret key
(A.4, unprotected). The directory needs a named user ID to file a key, and
the RFC's certificate has none. Ed25519 is deterministic and the salt below
is fixed, so the output is reproducible. Needs python3-cryptography."""
import base64, hashlib, pathlib
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

HERE = pathlib.Path(__file__).parent
SEED = bytes.fromhex("1972817b12be707e8d5f586ce61361201d344eb266a2c82fde6835762b65b0b7")
USER_ID = b"v6 Sample <v6-sample@example.org>"
SALT = bytes(range(0x20, 0x40))  # 32 octets: the salt size for SHA-512
CREATED = 0x63877FE3


def dearmor(text):
    lines = text.strip().splitlines()
    body = [l for l in lines[2:-1] if not l.startswith("=")]
    return base64.b64decode("".join(body))


def packets(data):
    i = 0
    while i < len(data):
        tag, n = data[i] & 0x3F, data[i + 1]
        assert data[i] & 0xC0 == 0xC0 and n < 192
        yield tag, data[i:i + 2 + n]
        i += 2 + n


def packet(tag, body):
    assert len(body) < 192
    return bytes([0xC0 | tag, len(body)]) + body


def crc24(data):
    crc = 0xB704CE
    for b in data:
        crc ^= b << 16
        for _ in range(8):
            crc <<= 1
            if crc & 0x1000000:
                crc ^= 0x1864CFB
    return crc & 0xFFFFFF


def armor(data):
    b64 = base64.b64encode(data).decode()
    rows = [b64[i:i + 64] for i in range(0, len(b64), 64)]
    crc = base64.b64encode(crc24(data).to_bytes(3, "big")).decode()
    return "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n" + "\n".join(rows) + "\n=" + crc + \
        "\n-----END PGP PUBLIC KEY BLOCK-----\n"


def main():
    pkts = list(packets(dearmor((HERE / "v6-sample-cert.asc").read_text())))
    key_body = pkts[0][1][2:]
    fpr = hashlib.sha256(b"\x9b" + len(key_body).to_bytes(4, "big") + key_body).digest()
    hashed_subs = bytes([5, 2]) + CREATED.to_bytes(4, "big") + bytes([34, 33, 6]) + fpr
    hashed = bytes([6, 0x13, 27, 10]) + len(hashed_subs).to_bytes(4, "big") + hashed_subs
    h = hashlib.sha512()
    h.update(SALT)
    h.update(b"\x9b" + len(key_body).to_bytes(4, "big") + key_body)
    h.update(b"\xb4" + len(USER_ID).to_bytes(4, "big") + USER_ID)
    h.update(hashed)
    h.update(b"\x06\xff" + len(hashed).to_bytes(4, "big"))
    digest = h.digest()
    sig = Ed25519PrivateKey.from_private_bytes(SEED).sign(digest)
    sig_body = hashed + bytes(4) + digest[:2] + bytes([len(SALT)]) + SALT + sig
    out = pkts[0][1] + pkts[1][1] + packet(13, USER_ID) + packet(2, sig_body)
    out += b"".join(p for _, p in pkts[2:])
    (HERE / "v6-sample-uid.asc").write_text(armor(out))


main()
