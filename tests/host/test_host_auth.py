import hashlib
import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from orlune.auth import validator
from orlune.auth.plans import plan_label
from orlune.auth.storage import Token, load_token, save_token

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture
def home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    return tmp_path


@pytest.mark.parametrize("content", [
    None, "", "{not json", "[1]", '{"token_type": "pro"}', '{"token_id": "", "token_type": "pro"}',
    '{"token_id": 5, "token_type": "pro"}', '{"token_id": "abc", "token_type": null}',
])
def test_load_token_missing_or_malformed(home, content):
    if content is not None:
        (home / ".orlune").mkdir()
        (home / ".orlune" / "token.json").write_text(content)
    assert load_token() is None


@pytest.mark.posix
def test_save_and_load_token_follow_home(home, tmp_path_factory, monkeypatch):
    path = save_token("tok-123", "pro")
    assert path == home / ".orlune" / "token.json"
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    assert load_token() == Token(token_id="tok-123", token_type="pro")
    save_token("tok-456", "team")  # overwrite keeps the mode
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    assert load_token().token_id == "tok-456"
    monkeypatch.setenv("HOME", str(tmp_path_factory.mktemp("other")))
    assert load_token() is None


@pytest.mark.parametrize("given, label", [
    ("pro", "pro"), ("clinic", "clinic"), (" Team ", "team"), ("Enterprise", "enterprise"),
    ("", ""), (None, ""),
])
def test_plan_label(given, label):
    assert plan_label(given) == label


def test_machine_id_sources(tmp_path, monkeypatch):
    empty, real = tmp_path / "empty", tmp_path / "real"
    empty.write_text("\n")
    real.write_text("0123456789abcdef\n")
    monkeypatch.setattr(validator, "_MACHINE_ID_FILES", (str(tmp_path / "missing"), str(empty), str(real)))
    mid = validator._get_machine_id()
    assert mid == validator._get_machine_id()
    assert len(mid) == 64 and int(mid, 16) >= 0
    assert mid != hashlib.sha256(b"0123456789abcdef").hexdigest()  # salted
    monkeypatch.setattr(validator, "_MACHINE_ID_FILES", (str(tmp_path / "missing"),))
    fallback = validator._get_machine_id()
    assert fallback != mid and fallback == validator._get_machine_id()


def test_empty_server_url_falls_back_to_local_collector():
    env = {k: v for k, v in os.environ.items() if not k.startswith("ORLUNE_")}
    out = subprocess.run(
        [sys.executable, "-c", "from orlune.auth import validator; print(validator._DEFAULT_VALIDATION_URL)"],
        cwd=ROOT, env={**env, "ORLUNE_SERVER_URL": ""}, capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "http://127.0.0.1:8765/api/validate"
