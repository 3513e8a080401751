"""What a test written against Python code notices: `with` locks, handled exceptions while
logging, one module per import, imports through __import__, introspection."""

import builtins
import importlib
import inspect
import json
import logging
import sys
import threading
import types
from unittest import mock

import pytest

from conftest import run_python
from model import python_def as python_twin
from support_upload import Abort, closed_port_url


class WithOnly:
    """A lock wrapper offering only the context-manager protocol; records what it sees."""

    def __init__(self, suppress=False):
        self.lock, self.suppress, self.seen = threading.Lock(), suppress, []

    def __enter__(self):
        self.lock.acquire()
        self.seen.append("enter")

    def __exit__(self, *exc):
        self.lock.release()
        self.seen.append(exc[0])
        return self.suppress


def test_locks_are_taken_with_with(rg, monkeypatch):
    monkeypatch.setenv("ORLUNE_TELEMETRY", "0")
    g = rg.RuntimeGuarder(None)
    g._lock = WithOnly()
    assert g.initialize() is True
    g.cleanup()
    rows = [json.loads(line) for line in rg._SESSIONS_FILE.read_text().splitlines()]
    assert rows[0]["ended_cleanly"] is True
    seen = g._lock.seen  # the store writes and the flushes' snapshots, each a whole block
    assert len(seen) >= 4 and seen == ["enter", None] * (len(seen) // 2)

    # An exception inside the block reaches __exit__ and, not suppressed, propagates.
    g._persist_unlocked = lambda: 1 / 0
    with pytest.raises(ZeroDivisionError):
        g._persist()
    assert g._lock.seen[-2:] == ["enter", ZeroDivisionError] and not g._lock.lock.locked()

    class Raising(WithOnly):
        def __exit__(self, *exc):
            super().__exit__(*exc)
            raise ValueError("from __exit__")

    g._lock = Raising()
    with pytest.raises(ValueError) as raised:  # raised while handling the first, as in Python
        g._persist()
    assert isinstance(raised.value.__context__, ZeroDivisionError) and not g._lock.lock.locked()

    g._lock = object()
    with pytest.raises(TypeError, match="context manager protocol"):
        g._persist()


def test_flush_lock_keeps_acquire_and_release(rg):
    calls = []

    class AcquireOnly:
        def acquire(self, blocking=True, timeout=-1):  # threading.Lock's parameters
            calls.append(("acquire", blocking))
            return True

        def release(self):
            calls.append("release")

    g = rg.RuntimeGuarder(None)
    g._flush_lock = AcquireOnly()
    g._flush(wait=True)
    assert calls == [("acquire", True), "release"]


def test_suppressing_exit_resumes_after_the_block(rg, monkeypatch):
    """A true __exit__ swallows the exception, as in Python: the call returns normally."""
    monkeypatch.setattr(rg, "_auth_ready", False)

    def interrupted(*a, **k):
        raise Abort  # not an ordinary exception: only __exit__ may swallow it

    for suppress in (False, True):
        lock = WithOnly(suppress)
        monkeypatch.setattr(rg, "_auth_ready_lock", lock)
        with mock.patch.object(builtins, "__import__", interrupted):
            if suppress:
                assert rg._ensure_auth_ready() is None
            else:
                with pytest.raises(Abort):
                    rg._ensure_auth_ready()
        assert lock.seen == ["enter", Abort] and rg._auth_ready is False

    # The component's `with self._lock:` blocks too: the write, cleanup's close (which goes on
    # to its flush), and the flush's snapshot (after which `pending` is unbound, as in Python).
    monkeypatch.setenv("ORLUNE_TELEMETRY", "0")
    g = rg.RuntimeGuarder(None)
    g._lock = WithOnly(suppress=True)
    g._persist_unlocked = interrupted
    assert g._persist() is None
    g._capture_logs = interrupted
    g._sessions, g._current_id = [{"session_id": "s", "flushed": False}], "s"
    assert g.cleanup() is None
    assert g._lock.seen == ["enter", Abort] * 2 + ["enter", None]
    g._sessions = [5]
    with mock.patch.object(rg.log, "debug") as debug:
        g._flush(wait=True)
    debug.assert_called_once_with("Usage flush failed", exc_info=True)
    assert g._lock.seen[-2:] == ["enter", AttributeError] and not g._flush_lock.locked()


class ExcInfoFilter(logging.Filter):
    def __init__(self):
        super().__init__()
        self.seen = []

    def filter(self, record):
        self.seen.append((record.getMessage(), sys.exc_info()[0]))
        return True


def test_failures_are_logged_while_handled(rg, monkeypatch):
    g = rg.RuntimeGuarder(None)
    g._sessions = [{"session_id": "s-1"}]
    g._endpoint = lambda: 1 / 0
    log = mock.Mock()
    monkeypatch.setattr(rg, "log", log)
    g._flush()
    log.debug.assert_called_with("Usage flush failed", exc_info=True)

    g._reload_flags = lambda: {}["missing"]
    assert g.initialize() is True
    log.exception.assert_called_with("RuntimeGuarder initialize failed; continuing without telemetry")

    # A real logger: a filter sees the failure as the exception being handled, and the
    # caller's own handled exception is back afterwards.
    real = logging.getLogger("orlune.core.runtime_guard")
    monkeypatch.setattr(rg, "log", real)
    monkeypatch.setattr(real, "level", logging.DEBUG)
    seen = ExcInfoFilter()
    real.addFilter(seen)
    try:
        try:
            raise KeyError("caller's")
        except KeyError:
            g._flush()
            assert sys.exc_info()[0] is KeyError
        assert sys.exc_info() == (None, None, None)
        monkeypatch.setattr(rg, "_telemetry_on", lambda: True)
        url = closed_port_url()
        monkeypatch.setattr(rg, "_resolve_endpoint", lambda: (url, "k"))
        monkeypatch.setattr(rg, "_resolve_machine_id", lambda: "m")
        monkeypatch.setattr(rg, "_resolve_token_fields", lambda: ("", "free"))
        monkeypatch.setattr(rg, "_resolve_app_version", lambda: "1")
        assert rg._post_usage([{}], timeout=5) == (None, None)  # connection refused
    finally:
        real.removeFilter(seen)
    import requests

    assert seen.seen[0] == ("Usage flush failed", ZeroDivisionError)
    assert seen.seen[1][0] == "Lightweight usage POST failed"
    assert issubclass(seen.seen[1][1], requests.ConnectionError) and len(seen.seen) == 2



def test_handled_exception_stays_in_its_own_frame(rg, monkeypatch):
    # A generator started inside its caller's except block logs a failure; resumed after that
    # block, it handles nothing, as it would had the handler been Python code.
    monkeypatch.setattr(rg, "_auth_ready", False)
    monkeypatch.setitem(sys.modules, "orlune.auth.validator", None)

    def worker():
        rg._ensure_auth_ready()
        yield sys.exc_info()[1]
        yield sys.exc_info()[1]

    try:
        raise KeyError("outer")
    except KeyError as outer:
        steps = worker()
        assert next(steps) is outer
    assert next(steps) is None

def test_fresh_import_and_reload(tmp_path):
    first, second = tmp_path / "first", tmp_path / "second"
    proc = run_python(
        f"""
        import importlib, os, pathlib, sys
        import orlune.core.runtime_guard as a
        old_class = a.RuntimeGuarder
        del sys.modules["orlune.core.runtime_guard"]
        import orlune.core.runtime_guard as b
        assert a is not b and a.RuntimeGuarder is not b.RuntimeGuarder

        # Each module's functions read their own dict.
        calls = []
        a._telemetry_on = lambda: calls.append("a") or False
        b._telemetry_on = lambda: calls.append("b") or False
        assert b._post_usage([{{}}], timeout=1) == (None, None) == a._post_usage([{{}}], timeout=1)
        b.RuntimeGuarder(None)._flush()
        assert calls == ["b", "a"], calls

        # reload runs the body again: flags reset, paths from the current home.
        b._skip_endpoint_warned = True
        os.environ["HOME"] = {str(second)!r}
        assert importlib.reload(b) is b
        assert b._skip_endpoint_warned is False and b._telemetry_on is not calls
        assert b._SESSIONS_FILE == pathlib.Path({str(second)!r}) / ".orlune/usage/sessions.jsonl"
        assert a._SESSIONS_FILE == pathlib.Path({str(first)!r}) / ".orlune/usage/sessions.jsonl"

        # Classes made before keep working; super() names each one's own class.
        class Sub(old_class):
            def __init__(self, ctx):
                super().__init__(ctx)
        for cls in (old_class, Sub, b.RuntimeGuarder):
            g = cls("ctx")
            assert g.name == "runtime_guard" and g.app_context == "ctx"
        try:
            b.RuntimeGuarder.__init__(object(), "ctx")
        except TypeError:
            pass
        else:
            raise AssertionError("__init__ accepted an unrelated object")
        print("ok")
        """,
        env={"HOME": str(first)},
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"



def test_reload_after_a_failed_reload_runs_the_body_again():
    proc = run_python(
        """
        import importlib, sys, types
        import orlune.core.runtime_guard as rg
        real = sys.modules["orlune.core.base_component"]
        sys.modules["orlune.core.base_component"] = types.ModuleType(real.__name__)
        try:
            importlib.reload(rg)
        except ImportError:
            pass
        else:
            raise AssertionError("the reload did not fail")
        sys.modules["orlune.core.base_component"] = real
        rg._skip_endpoint_warned = True
        importlib.reload(rg)
        assert rg._skip_endpoint_warned is False
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"

def test_imports_go_through_the_builtins_import(rg, monkeypatch):
    real_import = builtins.__import__
    seen = []

    def hook(name, globals=None, locals=None, fromlist=(), level=0):
        seen.append((name, (globals or {}).get("__name__"), fromlist, level))
        if name == "orlune.utils.package_info":
            return types.SimpleNamespace(get_version=lambda: "7.7-hooked")
        if name == "orlune.auth.validator":
            raise ImportError("refused by the hook")
        return real_import(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", hook)
    # What the hook returns is used, though the real module is in sys.modules.
    import orlune.utils.package_info  # noqa: F401
    assert rg._resolve_app_version() == "7.7-hooked"
    monkeypatch.setattr(rg, "_auth_ready", False)
    rg._ensure_auth_ready()
    assert rg._auth_ready is False
    assert ("orlune.utils.package_info", "orlune.core.runtime_guard", ("get_version",), 0) in seen
    assert ("orlune.auth.validator", "orlune.core.runtime_guard", None, 0) in seen



def test_one_import_call_per_statement():
    proc = run_python(
        """
        import builtins
        seen, real = [], builtins.__import__
        def hook(name, globals=None, locals=None, fromlist=(), level=0):
            if (globals or {}).get("__name__") == "orlune.core.runtime_guard":
                seen.append((name, fromlist))
            return real(name, globals, locals, fromlist, level)
        builtins.__import__ = hook
        import orlune.core.runtime_guard as rg
        rg._resolve_endpoint()
        print(seen)
        """
    )
    assert proc.returncode == 0, proc.stderr
    seen = eval(proc.stdout)
    plain = "atexit functools inspect json logging os platform re threading uuid".split()
    assert seen[:15] == [(m, None) for m in plain] + [
        ("collections.abc", ("Callable",)), ("datetime", ("UTC", "datetime")), ("pathlib", ("Path",)),
        ("typing", ("Any", "Optional", "TypeVar")),
        ("orlune.core.base_component", ("ApplicationComponent", "ComponentState"))]
    assert [f for m, f in seen[15:] if m == "orlune.auth.validator" and f] == [
        ("_DEFAULT_VALIDATION_URL", "_SERVER_API_KEY")]

def test_failed_from_import_reads_as_the_statements(rg, monkeypatch):
    base = types.ModuleType("orlune.core.base_component")
    base.__file__, base.ApplicationComponent = "/nowhere/base_component.py", object
    monkeypatch.setitem(sys.modules, base.__name__, base)
    with pytest.raises(ImportError) as expected:
        from orlune.core.base_component import ComponentState  # noqa: F401
    monkeypatch.delitem(sys.modules, rg.__name__)
    with pytest.raises(ImportError) as raised:
        importlib.import_module(rg.__name__)
    assert str(raised.value) == str(expected.value)
    assert (raised.value.name, raised.value.path) == (expected.value.name, expected.value.path)


FUNCTIONS = {
    "_ensure_auth_ready": "()", "_spawn_light_thread": "(target, *, name)",
    "flush_runtime_guard": "(timeout=2.0)", "_utcnow_iso": "()", "_local_tz_offset": "()",
    "_usage_url": "(validate_url)", "sanitize_log_text": "(text)",
    "format_panel_logs": "(records)", "_clip_feature": "(name)", "infer_open_name": "(depth=2)",
    "_resolve_endpoint": "()", "_resolve_machine_id": "()", "_resolve_token_fields": "()",
    "_resolve_app_version": "()", "_telemetry_on": "()",
    "_post_usage": "(sessions, *, timeout, allow_empty=False)", "_opened_log_line": "(feature)",
    "_build_open_session": "(feature)", "report_open": "(name=None, *, depth=2)",
    "runtimeguard": "(name=None)", "_duration_s": "(started_at, ended_at)",
}
METHODS = {
    "__init__": "(self, app_context)", "initialize": "(self)", "cleanup": "(self)",
    "report_open": "(self, name=None, *, depth=2)", "_reload_flags": "(self)",
    "_load_store": "(self)", "_persist": "(self)", "_persist_unlocked": "(self)",
    "_current_session": "(self)", "_close_stale_sessions": "(self)", "_start_session": "(self)",
    "_capture_logs": "(self)", "_spawn_flush": "(self, timeout)",
    "_flush": "(self, timeout=3.0, wait=False, allow_empty=False)", "_machine_id": "()",
    "_token_fields": "()", "_app_version": "()", "_endpoint": "()",
}


def strip_annotations(sig):
    return str(sig.replace(
        parameters=[p.replace(annotation=p.empty) for p in sig.parameters.values()],
        return_annotation=sig.empty))


def test_signatures_and_names(rg):
    cls = rg.RuntimeGuarder
    assert str(inspect.signature(cls)) == "(app_context)"
    assert cls.__doc__ == "Record local open/close sessions and flush them to the usage endpoint."
    present = [n for n in FUNCTIONS if hasattr(rg, n)]
    assert len(present) >= 13  # the open-report helpers may still be on their way
    for name in present:
        fn = getattr(rg, name)
        assert strip_annotations(inspect.signature(fn)) == FUNCTIONS[name], name
        assert fn.__qualname__ == fn.__name__ == name and fn.__module__ == rg.__name__
    g = cls(None)
    for name, text in METHODS.items():
        if name not in vars(cls):
            continue
        fn = getattr(cls, name)
        assert strip_annotations(inspect.signature(fn)) == text, name
        assert fn.__qualname__ == f"RuntimeGuarder.{name}" and fn.__name__ == name
        bound = inspect.signature(getattr(g, name))
        assert "self" not in bound.parameters, name
    for name in ("initialize", "cleanup"):
        assert "Returns" in inspect.getdoc(getattr(cls, name)), name
    assert inspect.getdoc(cls._close_stale_sessions).startswith("Mark sessions left open")
    assert inspect.signature(cls._flush).parameters["timeout"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


SUBSTITUTIONS = """
import datetime as real_datetime, json, os, sys, types
import orlune.core.runtime_guard as rg

def outcome(fn):
    try:
        return repr(fn())
    except Exception as e:
        return type(e).__name__

class Stamp:
    def __init__(self, text): self.text = text
    def astimezone(self): return self
    def strftime(self, fmt): return self.text
    def isoformat(self, timespec=None): return self.text

def clock(text):
    return types.SimpleNamespace(now=lambda *a: Stamp(text), fromtimestamp=lambda *a: Stamp(text),
                                 fromisoformat=real_datetime.datetime.fromisoformat)

results = {}
for label, text in [("int", 12345), ("bytes", b"+0130"), ("list", list("+0200")), ("long", "+013015")]:
    rg.datetime = clock(text)
    results["tz-" + label] = outcome(rg._local_tz_offset)
rg.datetime = clock(7)
results["panel"] = outcome(lambda: rg.format_panel_logs([{"timestamp": 1, "message": "m"}]))
results["utcnow"] = outcome(rg._utcnow_iso)
results["duration"] = outcome(lambda: rg._duration_s(5, "x"))
rg.datetime = real_datetime.datetime

g = rg.RuntimeGuarder(None)
g._sessions = (1, "two")
g._current_id = "two"
results["flush-rows"] = outcome(lambda: g._flush(wait=True))
results["cleanup-rows"] = outcome(g.cleanup)
g._sessions = [{"session_id": "s"}]
for label, value in [("int", 5), ("short", ("u",)), ("text", "ab")]:
    g._endpoint = lambda v=value: v
    results["endpoint-" + label] = outcome(lambda: g._flush(wait=True))

rg._PATH_RE = types.SimpleNamespace(sub=lambda marker, text: 42)
results["pattern"] = outcome(lambda: rg.sanitize_log_text("a@b.cd"))
print(json.dumps(results))
"""


def test_host_substitutions_never_crash(tmp_path):
    proc = run_python(SUBSTITUTIONS, env={"HOME": str(tmp_path), "ORLUNE_TELEMETRY": "0"})
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout)
    assert got == {
        "tz-int": "TypeError", "tz-bytes": repr("b'+01':b'30'"),
        "tz-list": repr("['+', '0', '2']:['0', '0']"), "tz-long": repr("UTC"),
        "panel": repr("7 INFO m"), "utcnow": "7", "duration": "AttributeError",
        # The component's handlers turn every odd value into a logged failure.
        "flush-rows": "None", "cleanup-rows": "None",
        "endpoint-int": "None", "endpoint-short": "None", "endpoint-text": "None",
        "pattern": "TypeError",
    }


STORE_SUBSTITUTION = """
import orlune.core.runtime_guard as rg

import pathlib

class OddPath:
    real = pathlib.Path.home() / "sessions.jsonl"  # where the store's lock file goes
    def exists(self): return "yes"
    def read_bytes(self): return "not bytes"
    def with_suffix(self, suffix): return self.real.with_suffix(suffix)
    def with_name(self, name): return self.real.with_name(name)
    parent = real.parent

rg._SESSIONS_FILE = OddPath()
g = rg.RuntimeGuarder(None)
try:
    g._load_store()
except TypeError:
    print("TypeError")
"""


def test_store_path_returning_text_is_a_type_error(tmp_path):
    proc = run_python(STORE_SUBSTITUTION, env={"HOME": str(tmp_path)})
    assert proc.returncode == 0 and proc.stdout.strip() == "TypeError", proc.stderr


BAD_CALLS = [((), {}), ((1,), {}), ((1, 2, 3), {}), ((), {"bogus": 1}), ((1, 2), {"bogus": 1}),
             ((1,), {"self": 1, "text": 1, "records": 1, "validate_url": 1, "started_at": 1})]


def error_of(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None


@pytest.mark.parametrize("method", [False, True])
def test_argument_errors_read_as_from_a_def(rg, method):
    table, owner = (METHODS, rg.RuntimeGuarder) if method else (FUNCTIONS, rg)
    checked = 0
    for name, params in table.items():
        if not hasattr(owner, name):
            continue
        twin, fn = python_twin(name, params, method), getattr(owner, name)
        for args, kwargs in BAD_CALLS:
            expected = error_of(twin, args, kwargs)
            if expected is not None:
                checked += 1
                assert error_of(fn, args, kwargs) == expected, (name, args, kwargs)
    assert checked > 40
    if method:  # `self` may also be passed by keyword
        assert owner._reload_flags(self=owner(None)) is None
