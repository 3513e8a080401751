import base64
import json

import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from orlune.core.payload_crypto import decrypt_payload, encrypt_payload

KEY = "server-key-ß✓"
BODY = {"machine_id": "m", "log": "línea 1\nzeile 2 ✓ 🚀", "n": 3, "ok": True, "x": None}


def documented_key(api_key):
    hkdf = HKDF(hashes.SHA256(), 32, salt=b"orlune usage salt v1", info=b"orlune usage payload v1")
    return hkdf.derive(api_key.encode("utf-8"))


def seal(plaintext, api_key=KEY, nonce=b"\x01" * 12):
    ct = AESGCM(documented_key(api_key)).encrypt(nonce, plaintext, b"orlune-usage-v1")
    return {"v": 1, "alg": "AES-256-GCM", "nonce": base64.b64encode(nonce).decode(),
            "ct": base64.b64encode(ct).decode()}


def flip(b64, index):
    raw = bytearray(base64.b64decode(b64))
    raw[index] ^= 0x01
    return base64.b64encode(bytes(raw)).decode()


def test_round_trip_through_json_and_documented_format():
    env = json.loads(json.dumps(encrypt_payload(BODY, KEY)))
    assert decrypt_payload(env, KEY) == BODY
    # Another client following the module docstring must be able to read it.
    plain = AESGCM(documented_key(KEY)).decrypt(
        base64.b64decode(env["nonce"]), base64.b64decode(env["ct"]), b"orlune-usage-v1")
    assert plain == json.dumps(BODY, separators=(",", ":")).encode("utf-8")
    assert decrypt_payload(seal(plain), KEY) == BODY


def test_fresh_nonce_per_call():
    envs = [encrypt_payload(BODY, KEY) for _ in range(20)]
    assert len({e["nonce"] for e in envs}) == 20
    assert len({e["ct"] for e in envs}) == 20


@pytest.mark.parametrize("mutate", [
    lambda e: e.update(ct=flip(e["ct"], 0)),
    lambda e: e.update(ct=flip(e["ct"], -1)),  # inside the tag
    lambda e: e.update(nonce=flip(e["nonce"], 5)),
    lambda e: e.update(ct="not base64!"),
    lambda e: e.update(nonce=base64.b64encode(b"short").decode()),
    lambda e: e.update(v=2),
    lambda e: e.update(v=True),
    lambda e: e.update(alg="AES-128-GCM"),
    lambda e: e.pop("nonce"),
], ids=["ct", "tag", "nonce", "b64", "nonce-len", "v2", "v-bool", "alg", "missing"])
def test_tampered_or_malformed_envelope_rejected(mutate):
    env = encrypt_payload(BODY, KEY)
    mutate(env)
    with pytest.raises(ValueError):
        decrypt_payload(env, KEY)


@pytest.mark.parametrize("envelope, key", [
    (None, KEY), ([], KEY), ("{}", KEY),
    (seal(b"[1, 2]"), KEY),  # authentic but not an object
    (seal(b"\xff\xfe"), KEY),
    (seal(b"{}", api_key="other"), KEY),
])
def test_decrypt_rejects_non_envelopes_bad_plaintext_and_wrong_key(envelope, key):
    with pytest.raises(ValueError):
        decrypt_payload(envelope, key)


@pytest.mark.parametrize("body, key", [
    (BODY, ""), (BODY, None), ([1], KEY), ({"x": object()}, KEY), ({"x": float("nan")}, KEY),
])
def test_encrypt_rejects_bad_input(body, key):
    with pytest.raises(ValueError):
        encrypt_payload(body, key)
