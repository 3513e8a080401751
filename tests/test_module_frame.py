"""The module's import-time surface: names, values, types, and that import has no side effects."""

import collections.abc
import json
import os
import logging
import pathlib
import re
import threading
import types
import typing

import pytest

from conftest import run_python
from support_upload import endpoint, row  # noqa: F401


def test_import_touches_nothing(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    proc = run_python(
        """
        import atexit, os, sys, threading
        import functools, inspect, json, logging, platform, re, uuid, datetime, pathlib, typing
        import orlune.core.base_component
        registered = []
        atexit.register = lambda *a, **k: registered.append(a)
        os.register_at_fork = lambda **k: registered.append(k)
        before = threading.active_count()
        import orlune.core.runtime_guard as rg
        assert threading.active_count() == before, "import started a thread"
        assert registered == [], registered
        assert os.listdir(os.environ["HOME"]) == [], os.listdir(os.environ["HOME"])
        assert not rg._USAGE_DIR.exists()
        for lazy in ("requests", "orlune.core.payload_crypto", "orlune.auth", "orlune.utils.package_info"):
            assert lazy not in sys.modules, lazy
        print(rg._SESSIONS_FILE)
        """,
        env={"HOME": str(home)},
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str(home / ".orlune" / "usage" / "sessions.jsonl")


def test_constants_and_state(rg):
    assert isinstance(rg.log, logging.Logger) and rg.log.name == "orlune.core.runtime_guard"
    assert isinstance(rg._USAGE_DIR, pathlib.Path) and isinstance(rg._SESSIONS_FILE, pathlib.Path)
    expected = {
        "_MAX_STORED": 200, "_STARTUP_FLUSH_TIMEOUT": 3.0, "_SHUTDOWN_FLUSH_TIMEOUT": 2.0,
        "_LIGHT_TIMEOUT": 2.0, "_MAX_LOG_CHARS": 48000, "_MAX_LOG_LINES": 400,
        "_MAX_FEATURE_NAME": 120, "_MAX_LIGHT_IN_FLIGHT": 32, "_MAX_STORE_BYTES": 256 * 1024 * 1024,
        "_MAX_STORE_LINE_BYTES": 1024 * 1024, "_MAX_UPLOAD_BYTES": 1_000_000,
    }
    for name, value in expected.items():
        got = getattr(rg, name)
        assert got == value and type(got) is type(value), name
    for name in ("_light_threads_lock", "_auth_ready_lock"):
        lock = getattr(rg, name)
        assert type(lock) is type(threading.Lock()) and not lock.locked()
    assert rg._light_threads == set() and type(rg._light_threads) is set
    for flag in ("_atexit_registered", "_light_dropping", "_skip_endpoint_warned", "_skip_machine_warned",
                 "_telemetry_word_noted", "_auth_ready"):
        assert getattr(rg, flag) is False
    assert isinstance(rg._F, typing.TypeVar) and rg._F.__name__ == "_F"
    assert rg._F.__bound__ == collections.abc.Callable[..., typing.Any]
    assert "AES-256-GCM" in rg.__doc__ and "@runtimeguard(\"Segmentation\")" in rg.__doc__
    for mod in (json, re, threading, os):
        assert getattr(rg, mod.__name__) is mod


def test_the_body_defines_in_the_stubs_order(rg):
    """vars(module) and the class __dict__ hold the functions, the class and its members in
    the order the stub lists them, the order a Python module body would define them in."""
    stub = pathlib.Path(rg.__file__).with_name("runtime_guard.pyi").read_text()
    top = list(dict.fromkeys(re.findall(r"^(?:def|class) (\w+)", stub, re.M)))
    in_class = list(dict.fromkeys(re.findall(r"^    def (\w+)", stub, re.M)))
    native = [n for n, v in vars(rg).items() if n == "RuntimeGuarder"
              or isinstance(v, types.BuiltinFunctionType) and v.__module__ == rg.__name__]
    assert native == top
    cls = rg.RuntimeGuarder
    members = [n for n in vars(cls) if isinstance(getattr(cls, n), types.BuiltinFunctionType)]
    assert members == in_class


def test_component_class_shape(rg):
    from orlune.core.base_component import ApplicationComponent

    cls = rg.RuntimeGuarder
    assert issubclass(cls, ApplicationComponent) and type(cls) is type(ApplicationComponent)
    assert cls.__doc__ == "Record local open/close sessions and flush them to the usage endpoint."
    assert cls.__module__ == "orlune.core.runtime_guard"
    # The class statement binds __module__, __qualname__ and __doc__ before the methods.
    assert list(vars(cls))[:4] == ["__module__", "__doc__", "__init__", "initialize"]
    g = cls("ctx")
    assert g.app_context == "ctx" and g.name == "runtime_guard"
    keys = [k for k in vars(g) if k in ("dependencies", "_enabled", "_lock", "_sessions", "_current_id", "_flush_lock")]
    assert keys == ["dependencies", "_enabled", "_lock", "_sessions", "_current_id", "_flush_lock"]
    assert g.dependencies == ["config_manager"] and g._enabled is True
    assert g._sessions == [] and g._current_id == ""
    assert g._lock is not g._flush_lock
    assert cls(app_context=None).app_context is None

    class Sub(cls):
        pass

    assert Sub(None).dependencies == ["config_manager"]
    with pytest.raises(TypeError):
        cls()


PATH, EMAIL, TOKEN = (
    r"(?:[A-Za-z]:\\|\\\\|/)(?:[^\s'\"<>|]+[/\\])+[^\s'\"<>|]+",
    r"\b[A-Za-z0-9._%+\-]+@[A-Za-z0-9.\-]+\.[A-Za-z]{2,}\b",
    r"\b[A-Za-z0-9]{4}(?:-[A-Za-z0-9]{4}){2,}\b",
)


def test_patterns(rg):
    for compiled, text in ((rg._PATH_RE, PATH), (rg._EMAIL_RE, EMAIL), (rg._TOKENISH_RE, TOKEN)):
        assert isinstance(compiled, re.Pattern)
        assert compiled.pattern == text and compiled.flags == re.UNICODE
    assert rg._TOKENISH_RE.fullmatch("ABCD-EFGH-IJKL")
    assert not rg._TOKENISH_RE.search("ABCD-EFGH")
    assert rg._TOKENISH_RE.search("ABCDE-FGHI-JKLM-NOPQ").group() == "FGHI-JKLM-NOPQ"
    assert rg._EMAIL_RE.search("mail a.b@example.org now").group() == "a.b@example.org"
    assert not rg._EMAIL_RE.search("x@host.c") and not rg._EMAIL_RE.search("x@host.c0m")
    assert not rg._PATH_RE.search("/etc") and rg._PATH_RE.search("/etc/hosts")
    assert rg._PATH_RE.fullmatch("C:\\Users\\a.txt") and rg._PATH_RE.fullmatch("\\\\srv\\share\\f")


def test_late_binding_follows_module_dict(rg, monkeypatch, tmp_path):
    g = rg.RuntimeGuarder(None)
    g._sessions = [{"session_id": str(i)} for i in range(5)]
    monkeypatch.setattr(rg, "_MAX_STORED", 2)
    other = tmp_path / "elsewhere"
    monkeypatch.setattr(rg, "_USAGE_DIR", other)
    monkeypatch.setattr(rg, "_SESSIONS_FILE", other / "s.jsonl")
    g._persist()
    assert (other / "s.jsonl").read_text() == '{"session_id":"3"}\n{"session_id":"4"}\n'

    monkeypatch.setattr(rg, "_utcnow_iso", lambda: "2020-01-01T00:00:00+00:00")
    g._sessions = []
    g._start_session()
    assert g._sessions[-1]["started_at"] == "2020-01-01T00:00:00+00:00"

    class Frozen(rg.datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(2021, 5, 6, 7, 8, 9, 999999, tzinfo=tz)

    monkeypatch.delattr(rg, "_utcnow_iso")
    monkeypatch.setattr(rg, "datetime", Frozen)
    with pytest.raises(NameError):
        g._start_session()
    monkeypatch.undo()
    monkeypatch.setattr(rg, "datetime", Frozen)
    assert rg._utcnow_iso() == "2021-05-06T07:08:09+00:00"


def test_every_worker_thread_comes_from_the_module_threading(rg, monkeypatch, endpoint):
    """Light threads, the start-up flush and the bounded shutdown POST: one daemon each, made
    through the `threading` in the module dict, keywords in the order Thread received them."""
    made = []

    class Recorded(threading.Thread):
        def __init__(self, **kwargs):
            made.append((list(kwargs), kwargs["name"], kwargs["daemon"]))
            super().__init__(**kwargs)

    substitute = types.ModuleType("threading")
    substitute.__dict__.update(vars(threading), Thread=Recorded)
    monkeypatch.setattr(rg, "threading", substitute)

    ran = threading.Event()
    rg._spawn_light_thread(ran.set, name="orlune-probe")
    rg.flush_runtime_guard(5)
    starting, stopping = rg.RuntimeGuarder(None), rg.RuntimeGuarder(None)
    starting._sessions, stopping._sessions = [row(1)], [row(2)]
    starting._spawn_flush(5)
    for t in threading.enumerate():
        if t.name == "orlune-usage-flush":
            t.join(5)
    stopping._flush(timeout=5, wait=True)

    assert ran.is_set() and starting._sessions[0]["flushed"] and stopping._sessions[0]["flushed"]
    assert made == [(["target", "name", "daemon"], "orlune-probe", True),
                    (["target", "kwargs", "name", "daemon"], "orlune-usage-flush", True),
                    (["target", "name", "daemon"], "orlune-usage-post", True)]
