"""The daemon's encrypt and decrypt services.

Algorithm "hmac-sha256-ctr", made from the standard library only: a stream cipher whose key
stream is HMAC-SHA256(encryption key, nonce || block counter), followed by an HMAC-SHA256 tag
over the algorithm name, the nonce and the cipher text (encrypt-then-MAC). The cipher text a
module receives is base64 of nonce (16 bytes) || encrypted UTF-8 text || tag (32 bytes).
Each module has its own pair of keys, derived from its crypt key, so one module cannot decrypt
another's texts; a changed byte anywhere makes decryption fail.
"""
from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import secrets

ALGORITHM = "hmac-sha256-ctr"
NONCE_LEN = 16
TAG_LEN = 32


class CipherError(ValueError):
    pass


def _keys(crypt_key: str) -> tuple[bytes, bytes]:
    base = hashlib.sha256(b"gravel-devnode cipher\0" + crypt_key.encode()).digest()
    return (hmac.new(base, b"encrypt", hashlib.sha256).digest(),
            hmac.new(base, b"authenticate", hashlib.sha256).digest())


def _stream(key: bytes, nonce: bytes, data: bytes) -> bytes:
    out = bytearray(len(data))
    for block in range((len(data) + 31) // 32):
        pad = hmac.new(key, nonce + block.to_bytes(8, "big"), hashlib.sha256).digest()
        start = block * 32
        for i, b in enumerate(data[start:start + 32]):
            out[start + i] = b ^ pad[i]
    return bytes(out)


def _tag(key: bytes, nonce: bytes, body: bytes) -> bytes:
    return hmac.new(key, ALGORITHM.encode() + b"\0" + nonce + body, hashlib.sha256).digest()


def encrypt(crypt_key: str, plaintext: str) -> str:
    enc, mac = _keys(crypt_key)
    nonce = secrets.token_bytes(NONCE_LEN)
    body = _stream(enc, nonce, plaintext.encode("utf-8"))
    return base64.b64encode(nonce + body + _tag(mac, nonce, body)).decode("ascii")


def decrypt(crypt_key: str, ciphertext: str) -> str:
    """The plaintext; raises CipherError for a text this key did not make, or a changed one."""
    try:
        raw = base64.b64decode(ciphertext.encode("ascii"), validate=True)
    except (binascii.Error, UnicodeEncodeError):
        raise CipherError("cipher text is not base64") from None
    if len(raw) < NONCE_LEN + TAG_LEN:
        raise CipherError("cipher text is too short")
    enc, mac = _keys(crypt_key)
    nonce, body, tag = raw[:NONCE_LEN], raw[NONCE_LEN:-TAG_LEN], raw[-TAG_LEN:]
    if not hmac.compare_digest(tag, _tag(mac, nonce, body)):
        raise CipherError("cipher text does not authenticate (changed, or made for another module)")
    try:
        return _stream(enc, nonce, body).decode("utf-8")
    except UnicodeDecodeError:
        raise CipherError("plaintext is not UTF-8") from None
