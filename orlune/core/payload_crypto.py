"""Encryption of usage payloads sent to the server.

Envelope (a JSON object)::

    {"v": 1, "alg": "AES-256-GCM", "nonce": "<base64>", "ct": "<base64>"}

* key:   HKDF-SHA256 over the UTF-8 server API key, 32 bytes,
         salt ``b"orlune usage salt v1"``, info ``b"orlune usage payload v1"``.
* nonce: 12 random bytes, fresh for every call.
* ct:    AES-256-GCM ciphertext followed by the 16-byte tag.
* aad:   ``b"orlune-usage-v1"``, binding the ciphertext to this envelope version.
* plaintext: ``json.dumps(body, separators=(",", ":"))`` in UTF-8; the body
  must be a JSON object (NaN and infinities are refused: they are not JSON).

Base64 is the standard alphabet with padding. Every failure, whether bad input
on the sending side or a malformed, tampered or wrongly keyed envelope on the
receiving side, raises ``ValueError``.
"""

import base64
import binascii
import json
import os

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

VERSION = 1
ALGORITHM = "AES-256-GCM"
_SALT = b"orlune usage salt v1"
_INFO = b"orlune usage payload v1"
_AAD = b"orlune-usage-v1"
_NONCE_LEN = 12
_TAG_LEN = 16


def _derive_key(api_key):
    if not isinstance(api_key, str) or not api_key:
        raise ValueError("api_key must be a non-empty string")
    hkdf = HKDF(algorithm=hashes.SHA256(), length=32, salt=_SALT, info=_INFO)
    return hkdf.derive(api_key.encode("utf-8"))


def encrypt_payload(body, api_key) -> dict:
    """Encrypt the JSON object ``body`` and return the envelope dict."""
    key = _derive_key(api_key)
    if not isinstance(body, dict):
        raise ValueError("payload body must be a dict")
    try:
        text = json.dumps(body, separators=(",", ":"), allow_nan=False)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"payload body is not JSON-serialisable: {exc}") from exc
    nonce = os.urandom(_NONCE_LEN)
    ct = AESGCM(key).encrypt(nonce, text.encode("utf-8"), _AAD)
    return {
        "v": VERSION,
        "alg": ALGORITHM,
        "nonce": base64.b64encode(nonce).decode("ascii"),
        "ct": base64.b64encode(ct).decode("ascii"),
    }


def _b64field(envelope, name):
    value = envelope.get(name)
    if not isinstance(value, str):
        raise ValueError(f"envelope field {name!r} must be a base64 string")
    try:
        return base64.b64decode(value, validate=True)
    except (binascii.Error, ValueError) as exc:
        raise ValueError(f"envelope field {name!r} is not valid base64") from exc


def decrypt_payload(envelope, api_key) -> dict:
    """Check and decrypt an envelope produced by ``encrypt_payload``."""
    key = _derive_key(api_key)
    if not isinstance(envelope, dict):
        raise ValueError("envelope must be a JSON object")
    version = envelope.get("v")
    if type(version) is not int or version != VERSION:
        raise ValueError(f"unsupported envelope version: {version!r}")
    if envelope.get("alg") != ALGORITHM:
        raise ValueError(f"unsupported algorithm: {envelope.get('alg')!r}")
    nonce = _b64field(envelope, "nonce")
    ct = _b64field(envelope, "ct")
    if len(nonce) != _NONCE_LEN:
        raise ValueError(f"nonce must be {_NONCE_LEN} bytes, got {len(nonce)}")
    if len(ct) < _TAG_LEN:
        raise ValueError("ciphertext is shorter than the authentication tag")
    try:
        plain = AESGCM(key).decrypt(nonce, ct, _AAD)
    except InvalidTag:
        raise ValueError("authentication failed: wrong key or tampered envelope") from None
    try:
        body = json.loads(plain.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ValueError("decrypted payload is not valid JSON") from exc
    if not isinstance(body, dict):
        raise ValueError("decrypted payload is not a JSON object")
    return body
