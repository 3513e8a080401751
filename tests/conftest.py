"""Shared fixtures: every test runs against a throw-away home directory and store."""

import logging
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap

# Before anything imports the module: its store path is bound from the home directory at import.
_HOME = tempfile.mkdtemp(prefix="rg-home-")
os.environ["HOME"] = _HOME
os.environ["USERPROFILE"] = _HOME  # what Windows takes the home directory from
os.environ.pop("ORLUNE_TELEMETRY", None)
os.environ.pop("DO_NOT_TRACK", None)  # a developer's own opt-out would silence every upload test

import pytest  # noqa: E402

import orlune.core.runtime_guard as runtime_guard  # noqa: E402

RG_LOGGER = "orlune.core.runtime_guard"


def pytest_collection_modifyitems(config, items):
    """Tests marked `posix` need fork, signals, file modes or flock: skipped where the OS has
    none (Windows), run everywhere else."""
    if os.name == "posix":
        return
    skip = pytest.mark.skip(reason="needs POSIX: fork, signals, file modes or flock")
    for item in items:
        if "posix" in item.keywords:
            item.add_marker(skip)


@pytest.fixture
def rg():
    return runtime_guard


@pytest.fixture(autouse=True)
def store_dir(tmp_path, monkeypatch):
    """Point the module's store at a fresh directory (not yet created) for each test."""
    usage = tmp_path / "home" / ".orlune" / "usage"
    monkeypatch.setattr(runtime_guard, "_USAGE_DIR", usage)
    monkeypatch.setattr(runtime_guard, "_SESSIONS_FILE", usage / "sessions.jsonl")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("USERPROFILE", str(tmp_path / "home"))
    return usage


@pytest.fixture(autouse=True)
def keep_module_flags(monkeypatch):
    """Resolving the endpoint loads the auth package for good (and a skip sets its warning
    flag); put the one-way flags back so later tests still see the state at import."""
    for flag in ("_auth_ready", "_skip_endpoint_warned", "_skip_machine_warned", "_telemetry_word_noted"):
        monkeypatch.setattr(runtime_guard, flag, getattr(runtime_guard, flag))


@pytest.fixture
def rg_logs(caplog):
    """Records of the module logger, at every level."""
    caplog.set_level(logging.DEBUG, logger=RG_LOGGER)
    return caplog


def rg_messages(caplog, level=None):
    return [
        r.getMessage()
        for r in caplog.records
        if r.name == RG_LOGGER and (level is None or r.levelno == level)
    ]


def child_env(**extra):
    """Environment for a child interpreter that imports the same orlune package as this one."""
    import orlune

    root = str(pathlib.Path(orlune.__file__).resolve().parents[1])
    env = dict(os.environ)
    if sys.flags.dev_mode:  # a suite run under -X dev -W ... checks its children the same way
        env["PYTHONDEVMODE"] = "1"
        env["PYTHONWARNINGS"] = ",".join(sys.warnoptions)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (root, env.get("PYTHONPATH")) if p)
    env.update(extra)
    return env


# Cyclic garbage whose __del__ sleeps, collected at exit: the interpreter stays busy
# finalizing, so a daemon thread that wakes meanwhile meets the exit-time GIL rules.
_BUSY_EXIT = """
import time
class _Slow:
    def __del__(self):
        time.sleep(1.5)
_a, _b = _Slow(), _Slow()
_a.other, _b.other = _b, _a
del _a, _b
"""


def run_python(code, env=None, timeout=60, busy_exit=False):
    """Run `code` in a fresh interpreter (-P: the working directory is not on sys.path);
    `busy_exit` keeps its finalization busy for a few seconds."""
    code = (_BUSY_EXIT if busy_exit else "") + textwrap.dedent(code)
    return subprocess.run(
        [sys.executable, "-P", "-c", code],
        capture_output=True, text=True, env=child_env(**(env or {})), timeout=timeout,
    )
