"""Server endpoint settings and the machine identifier sent with requests.

Both settings are read once at import; set ``ORLUNE_SERVER_URL`` and
``ORLUNE_SERVER_API_KEY`` before the application starts. The default URL
points at the local collector (``python -m orlune.collector serve``).
"""

import hashlib
import os
import uuid

_DEFAULT_VALIDATION_URL = os.environ.get("ORLUNE_SERVER_URL") or "http://127.0.0.1:8765/api/validate"
_SERVER_API_KEY = os.environ.get("ORLUNE_SERVER_API_KEY", "")

_MACHINE_ID_FILES = ("/etc/machine-id", "/var/lib/dbus/machine-id")
# Salting keeps our identifier from matching the raw OS id other software reports.
_MACHINE_ID_SALT = b"orlune-machine-id:"


def _get_machine_id() -> str:
    """Return a stable, anonymised identifier for this machine (64 hex chars)."""
    raw = b""
    for path in _MACHINE_ID_FILES:
        try:
            with open(path, "rb") as f:
                raw = f.read().strip()
        except OSError:
            continue
        if raw:
            break
    if not raw:
        # MAC-derived; stable across runs unless the OS had to invent one.
        raw = b"node:" + str(uuid.getnode()).encode("ascii")
    return hashlib.sha256(_MACHINE_ID_SALT + raw).hexdigest()
