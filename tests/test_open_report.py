"""Feature names and open reports, the rows checked as the real collector receives them."""

import datetime
import logging
import sys
import threading
import time
import uuid

import pytest

import orlune.core.runtime_guard as runtime_guard
from conftest import rg_messages, run_python
from support_upload import endpoint  # noqa: F401

LONG = "x" * 119 + " tail words"


@pytest.mark.parametrize("name, expected", [
    (None, "unknown"), ("", "unknown"), ("  \t\n ", "unknown"), (0, "unknown"),
    ("  Seg\tmen\n\n tation  ", "Seg men tation"), ("a\u3000\u2028b\u00a0c", "a b c"),
    ("\u3000Viewer\u3000", "Viewer"), ("Ünïcødé  wörds", "Ünïcødé wörds"),
    (42, "42"), ("y" * 200, "y" * 120), (LONG, "x" * 119 + " "),
])
def test_clip_feature(rg, name, expected):
    clipped = rg._clip_feature(name)
    assert clipped == expected and type(clipped) is str
    assert rg._clip_feature(clipped) == expected.rstrip()  # clipping again drops a cut's space


def test_clip_reads_its_cap_at_call_time(rg, monkeypatch):
    monkeypatch.setattr(rg, "_MAX_FEATURE_NAME", 3)
    assert rg._clip_feature(" abcdef ") == "abc"
    monkeypatch.setattr(rg, "_MAX_FEATURE_NAME", -2)
    assert rg._clip_feature("abcdef") == "abcd"  # a slice, as Python cuts it


class Tool:
    def run(self, depth=1):
        return runtime_guard.infer_open_name(depth=depth)

    @classmethod
    def load(cls):
        return runtime_guard.infer_open_name(1)

    @staticmethod
    def build():
        return runtime_guard.infer_open_name(1)


class Derived(Tool):
    pass


def test_inference_names_methods_functions_and_modules(rg, tmp_path, monkeypatch):
    assert (Tool().run(), Derived().run(), Tool.load(), Derived.load()) == (
        "Tool.run", "Derived.run", "Tool.load", "Derived.load")
    here = __name__
    assert Tool.build() == f"{here}.build"

    def outer():
        def nested():
            return rg.infer_open_name(1)
        return nested()
    assert outer() == f"{here}.nested"

    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text("")
    (tmp_path / "pkg" / "tools.py").write_text(
        "import orlune.core.runtime_guard as rg\n"
        "def build():\n    return rg.infer_open_name(1)\n"
        "def helper(self):\n    return rg.infer_open_name(1)\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    import pkg.tools
    assert pkg.tools.build() == "pkg.tools.build"
    assert pkg.tools.helper(0) == "int.helper"  # a falsy `self` is still a `self`

    class NoName:
        def __getattribute__(self, key):
            if key == "__name__":
                raise AttributeError(key)
            return object.__getattribute__(self, key)

        def __str__(self):
            return "<no name>"

    def with_cls(cls, self=None):
        return rg.infer_open_name(1)
    assert with_cls(NoName()) == "<no name>.with_cls"
    assert with_cls(Tool, self=Derived()) == "Derived.with_cls"  # self wins over cls

    class Broken:
        @property
        def __name__(self):
            raise RuntimeError("no")
    assert with_cls(Broken()) == "unknown"

    long_cls = type("C" * 130, (), {"run": Tool.run})
    assert long_cls().run() == "C" * 120


def test_inference_depths(rg):
    t = Tool()
    assert t.run(2) == "test_open_report.test_inference_depths"
    for depth in (0, -5, 1.9, "1", True):
        assert t.run(depth) == "Tool.run"
    for depth in (10_000, 10**30, "deep", None, object()):
        assert t.run(depth) == "unknown"


def test_inference_in_the_main_script():
    proc = run_python(
        """
        from orlune.core.runtime_guard import infer_open_name
        def main():
            return infer_open_name(1)
        print(main(), infer_open_name(1))
        """)
    assert proc.stdout.split() == ["main", "<module>"], proc.stderr


def opened(rg, endpoint):
    """Feature names of the open events the collector received, once the workers are done."""
    rg.flush_runtime_guard(10)
    rows = [s for r in endpoint.received for s in r.payload["sessions"]]
    return [s["log_text"].split(" INFO Opened ", 1)[1] for s in rows], rows


def test_report_rows(rg, endpoint, rg_logs):
    class Viewer:
        def show(self):
            rg.report_open()
            rg.report_open(None)
            rg.report_open("")

    before = datetime.datetime.now(datetime.UTC).replace(microsecond=0)
    assert rg.report_open("Segmentation") is None
    names, (row,) = opened(rg, endpoint)
    assert list(row) == ["session_id", "started_at", "ended_at", "duration_s", "ended_cleanly",
                         "log_text"]
    assert row["started_at"] == row["ended_at"] and row["duration_s"] == 0 and row["ended_cleanly"]
    assert datetime.datetime.fromisoformat(row["started_at"]) >= before
    assert str(uuid.UUID(row["session_id"])) == row["session_id"]
    stamp = row["log_text"][:19]
    assert row["log_text"] == stamp + " INFO Opened Segmentation"
    datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S")

    for name in ("  a\t b\n\nc ", " \t ", LONG):
        rg.report_open(name)
        rg.flush_runtime_guard(10)
    Viewer().show()
    names, rows = opened(rg, endpoint)
    assert names == ["Segmentation", "a b c", "unknown", "x" * 119] + ["Viewer.show"] * 3
    assert len({r["session_id"] for r in rows}) == len(rows) == len(endpoint.received)
    assert rg_messages(rg_logs) == []


class User:
    def go(self, guard, **kw):
        guard.report_open(**kw)


def test_depth_counts_the_module_functions(rg, endpoint):
    class MyGuard(rg.RuntimeGuarder):
        pass

    class Caller:
        def direct(self, **kw):
            rg.report_open(**kw)

    Caller().direct()
    Caller().direct(depth=1)
    rg.flush_runtime_guard(10)  # both arrive, in either order, before the ones below
    for kw in ({}, {"depth": 1}, {"depth": 2}, {"depth": 3}, {"name": "Named"}):
        User().go(MyGuard(None), **kw)
        rg.flush_runtime_guard(10)
    rg.RuntimeGuarder(None).report_open(depth=1)
    names, _ = opened(rg, endpoint)
    here = "test_open_report.test_depth_counts_the_module_functions"
    assert sorted(names[:2]) == ["Caller.direct", "orlune.core.runtime_guard.report_open"]
    assert names[2:] == ["User.go", "MyGuard.report_open", "User.go", here, "Named",
                         "RuntimeGuarder.report_open"]
    with pytest.raises(TypeError):
        rg.RuntimeGuarder(None).report_open(depth="2")  # depth + 1, as in Python


def test_unstartable_thread_is_logged_not_raised(rg, endpoint, rg_logs):
    old = threading.stack_size(1 << 48)
    try:
        assert rg.report_open("Viewer") is None
    finally:
        threading.stack_size(old)
    assert rg_messages(rg_logs) == ["Could not start report_open thread"]
    assert rg_logs.records[-1].exc_info[0] is RuntimeError and opened(rg, endpoint)[0] == []


def test_worker_failure_is_logged(rg, rg_logs, monkeypatch):
    def refuse(sessions, *, timeout):
        assert timeout == rg._LIGHT_TIMEOUT and len(sessions) == 1
        raise OSError("network down")

    monkeypatch.setattr(rg, "_post_usage", refuse)
    rg.report_open("Viewer")
    rg.flush_runtime_guard(10)
    monkeypatch.setattr(rg, "_post_usage", lambda sessions, *, timeout: None)  # not a pair
    rg.report_open("Viewer")
    rg.flush_runtime_guard(10)
    assert rg_messages(rg_logs, logging.DEBUG) == ["report_open worker failed"] * 2
    assert [r.exc_info[0] for r in rg_logs.records] == [OSError, TypeError]


def test_log_line_is_local_time(rg, monkeypatch):
    monkeypatch.setenv("TZ", "Etc/GMT-5")  # five hours east of UTC
    time.tzset()
    try:
        row = rg._build_open_session("  Viewer ")
    finally:
        monkeypatch.undo()
        time.tzset()
    local = datetime.datetime.strptime(row["log_text"][:19], "%Y-%m-%d %H:%M:%S")
    utc = datetime.datetime.fromisoformat(row["started_at"]).replace(tzinfo=None)
    assert abs((local - utc) - datetime.timedelta(hours=5)) <= datetime.timedelta(seconds=2)
    assert row["log_text"].endswith(" INFO Opened Viewer") and row["started_at"].endswith("+00:00")
    assert rg._opened_log_line(rg._clip_feature(LONG))[19:] == " INFO Opened " + "x" * 119
    assert sys.getrefcount(row) == 2


def test_argument_errors_read_as_python_s(rg):
    """The interpreter's wording for a def with defaults and keyword-only parameters, and its
    order: keyword problems before surplus positionals."""
    cases = [
        (lambda: rg.report_open("a", 2),
         "report_open() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: rg.report_open("a", 2, depth=3),
         "report_open() takes from 0 to 1 positional arguments but 2 positional arguments "
         "(and 1 keyword-only argument) were given"),
        (lambda: rg.report_open("a", 2, x=3),
         "report_open() got an unexpected keyword argument 'x'"),
        (lambda: rg.flush_runtime_guard(1, 2),
         "flush_runtime_guard() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: rg._spawn_light_thread(len, "n", name="n"),
         "_spawn_light_thread() takes 1 positional argument but 2 positional arguments "
         "(and 1 keyword-only argument) were given"),
        (lambda: rg._clip_feature("a", "b", x=1),
         "_clip_feature() got an unexpected keyword argument 'x'"),
        (lambda: rg.RuntimeGuarder(None).report_open(1, 2),
         "RuntimeGuarder.report_open() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: rg.RuntimeGuarder.report_open(),
         "RuntimeGuarder.report_open() missing 1 required positional argument: 'self'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message
