#!/usr/bin/env python3
"""Writes v6-sample-uid.asc: the RFC 9580 sample v6 certificate (A.3) with a
user ID and a v6 positive certification made by the RFC's sample secret key
(A.4, unprotected). The directory needs a named user ID to file a key, and
the RFC's certificate has none. Ed25519 is deterministic and the salt below
is fixed, so the output is reproducible.

With --rsa, writes v6-rsa-uid.asc instead: a new v6 RSA key (random, so
the file changes each time) with one self-certified user ID. Needs
python3-cryptography."""
import base64, hashlib, pathlib, sys
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa, utils
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


def packet_long(tag, body):
    """A new-format packet with a five-octet length."""
    return bytes([0xC0 | tag, 0xFF]) + len(body).to_bytes(4, "big") + body


def mpi(n):
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return n.bit_length().to_bytes(2, "big") + raw


def certification(key_body, user_id, alg, sign):
    """Body of a v6 positive certification (SHA-512) of user_id."""
    fpr = hashlib.sha256(b"\x9b" + len(key_body).to_bytes(4, "big") + key_body).digest()
    hashed_subs = bytes([5, 2]) + CREATED.to_bytes(4, "big") + bytes([34, 33, 6]) + fpr
    hashed = bytes([6, 0x13, alg, 10]) + len(hashed_subs).to_bytes(4, "big") + hashed_subs
    h = hashlib.sha512()
    h.update(SALT)
    h.update(b"\x9b" + len(key_body).to_bytes(4, "big") + key_body)
    h.update(b"\xb4" + len(user_id).to_bytes(4, "big") + user_id)
    h.update(hashed)
    h.update(b"\x06\xff" + len(hashed).to_bytes(4, "big"))
    digest = h.digest()
    return hashed + bytes(4) + digest[:2] + bytes([len(SALT)]) + SALT + sign(digest)


def sample():
    pkts = list(packets(dearmor((HERE / "v6-sample-cert.asc").read_text())))
    key_body = pkts[0][1][2:]
    sig = certification(key_body, USER_ID, 27, Ed25519PrivateKey.from_private_bytes(SEED).sign)
    out = pkts[0][1] + pkts[1][1] + packet(13, USER_ID) + packet(2, sig)
    out += b"".join(p for _, p in pkts[2:])
    (HERE / "v6-sample-uid.asc").write_text(armor(out))


def rsa_key():
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    nums = key.public_key().public_numbers()
    material = mpi(nums.n) + mpi(nums.e)
    key_body = bytes([6]) + CREATED.to_bytes(4, "big") + bytes([1]) + len(material).to_bytes(4, "big") + material
    user_id = b"v6 RSA <v6-rsa@example.org>"
    sign = lambda d: mpi(int.from_bytes(
        key.sign(d, padding.PKCS1v15(), utils.Prehashed(hashes.SHA512())), "big"))
    sig = certification(key_body, user_id, 1, sign)
    out = packet_long(6, key_body) + packet(13, user_id) + packet_long(2, sig)
    (HERE / "v6-rsa-uid.asc").write_text(armor(out))


rsa_key() if "--rsa" in sys.argv else sample()
