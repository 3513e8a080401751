"""The signed-in account's token, kept in ``~/.orlune/token.json``.

File format: ``{"token_id": "...", "token_type": "pro"}``. The home directory
is resolved on every call so a changed ``HOME`` takes effect immediately.
"""

import json
from dataclasses import dataclass
from pathlib import Path

from orlune.utils.files import atomic_write


@dataclass(frozen=True)
class Token:
    token_id: str
    token_type: str


def token_path() -> Path:
    return Path.home() / ".orlune" / "token.json"


def load_token():
    """Return the stored ``Token``, or None if absent, unreadable or malformed."""
    try:
        data = json.loads(token_path().read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, ValueError):
        return None
    if not isinstance(data, dict):
        return None
    token_id, token_type = data.get("token_id"), data.get("token_type")
    if not isinstance(token_id, str) or not token_id or not isinstance(token_type, str):
        return None
    return Token(token_id=token_id, token_type=token_type)


def save_token(token_id, token_type) -> Path:
    """Write the token file (mode 0600, directory 0700) and return its path."""
    path = token_path()
    path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
    text = json.dumps({"token_id": token_id, "token_type": token_type})
    # The temporary file is created 0600, so the token is never briefly world-readable.
    atomic_write(path, lambda f: f.write(text), prefix=".token-")
    return path
