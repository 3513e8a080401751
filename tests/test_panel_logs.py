"""Rendering the logging panel's records into the session's log text."""

import collections.abc
import logging
import os
import time
from datetime import datetime

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import rg_messages
from reference_logs import python_rendering as reference_rendering

PANEL_ERROR = "Could not read logging panel records"


@pytest.fixture
def utc():
    """Local time is UTC for the test; the previous zone comes back afterwards."""
    old = os.environ.get("TZ")
    os.environ["TZ"] = "UTC"
    time.tzset()
    yield
    if old is None:
        os.environ.pop("TZ", None)
    else:
        os.environ["TZ"] = old
    time.tzset()


# ---- a small host: application context and an in-memory logging panel --------------------------


class LoggingPanel(logging.Handler):
    """Keeps the records of a logger in memory, as the application's log panel does."""

    def __init__(self):
        super().__init__()
        self.records = []
        self.asked = []

    def emit(self, record):
        self.records.append(
            {"timestamp": record.created, "level": record.levelname, "message": record.getMessage()}
        )

    def get_recent_logs(self, count=100):
        self.asked.append(count)
        return self.records[-count:]


class AppContext:
    def __init__(self, **components):
        self.components = components

    def get_component(self, name):
        return self.components.get(name)


class Record(collections.abc.Mapping):
    """A read-only mapping that is not a dict."""

    def __init__(self, **items):
        self._items = items

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


@pytest.fixture
def panel():
    handler = LoggingPanel()
    logger = logging.getLogger("test.panel.app")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    yield handler, logger
    logger.removeHandler(handler)


# ---- format_panel_logs ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "record, line",
    [
        ({"timestamp": 0, "level": "WARNING", "message": "Saved"}, "1970-01-01 00:00:00 WARNING Saved"),
        ({"level": "ERROR", "message": "no stamp"}, "1970-01-01 00:00:00 ERROR no stamp"),
        ({"timestamp": "soon", "level": "INFO", "message": "x"}, "INFO x"),
        ({"timestamp": float("nan"), "message": "nan"}, "INFO nan"),
        ({"timestamp": 1e12, "message": "year 33658"}, "INFO year 33658"),
        ({"timestamp": [1], "message": "list"}, "INFO list"),
        ({"timestamp": 86400}, "1970-01-02 00:00:00 INFO"),
        ({"timestamp": "86400.75", "level": "DEBUG", "message": "m"}, "1970-01-02 00:00:00 DEBUG m"),
        ({"timestamp": 60, "level": 30, "message": 0}, "1970-01-01 00:01:00 30"),
        ({"timestamp": "x", "level": "", "message": "  padded\n\n"}, "INFO   padded"),
        ({"timestamp": "x", "message": "tail\u3000\u2003"}, "INFO tail"),
        ({"timestamp": "x", "message": "first\nsecond\n"}, "INFO first\nsecond"),
        ({"timestamp": "x", "message": "at /home/u/a.dcm by a@b.org key ABCD-EFGH-IJKL"},
         "INFO at <path> by <email> key <token>"),
        (Record(timestamp=120, level="INFO", message="mapping"), "1970-01-01 00:02:00 INFO mapping"),
    ],
)
def test_record_lines(rg, utc, record, line):
    assert rg.format_panel_logs([record]) == line


def test_local_time_matches_datetime(rg):
    stamp = 1_700_000_000.9
    expected = datetime.fromtimestamp(stamp).strftime("%Y-%m-%d %H:%M:%S")
    assert rg.format_panel_logs([{"timestamp": stamp, "message": "m"}]) == f"{expected} INFO m"


def test_empty_and_joined(rg, utc):
    assert rg.format_panel_logs([]) == ""
    records = [{"timestamp": 0, "message": "a"}, {"timestamp": "bad"}, {"timestamp": 0, "message": "b"}]
    assert rg.format_panel_logs(records) == "1970-01-01 00:00:00 INFO a\nINFO\n1970-01-01 00:00:00 INFO b"


def test_last_400_records_only(rg, utc):
    records = [{"timestamp": 0, "message": f"m{i}"} for i in range(1000)]
    lines = rg.format_panel_logs(records).split("\n")
    assert len(lines) == 400
    assert lines[0].endswith(" m600") and lines[-1].endswith(" m999")


def test_limits_and_helpers_are_read_at_call_time(rg, utc, monkeypatch):
    records = [{"timestamp": 0, "message": f"m{i}"} for i in range(5)]
    monkeypatch.setattr(rg, "_MAX_LOG_LINES", 2)
    assert rg.format_panel_logs(records) == "1970-01-01 00:00:00 INFO m3\n1970-01-01 00:00:00 INFO m4"
    monkeypatch.setattr(rg, "sanitize_log_text", lambda text: text.upper())
    assert rg.format_panel_logs(records).endswith("INFO M4")

    class Frozen(datetime):
        @classmethod
        def fromtimestamp(cls, t, tz=None):
            return datetime(2001, 2, 3, 4, 5, 6)

    monkeypatch.setattr(rg, "datetime", Frozen)
    assert rg.format_panel_logs(records[:1]) == "2001-02-03 04:05:06 INFO M0"


def test_unrenderable_records_raise_to_direct_callers(rg):
    with pytest.raises(AttributeError):
        rg.format_panel_logs(["not a mapping"])
    with pytest.raises(OverflowError):
        rg.format_panel_logs([{"timestamp": 1e20}])
    with pytest.raises(OverflowError):
        rg.format_panel_logs([{"timestamp": 10**400}])


def test_errors_outside_the_stamp_propagate(rg):
    class Loud:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError):
        rg.format_panel_logs([{"timestamp": 0, "level": Loud()}])


# ---- RuntimeGuarder._capture_logs ------------------------------------------------------------------


def test_capture_renders_the_panel(rg, utc, panel):
    handler, logger = panel
    logger.warning("Saved %s", "/home/user/study/a.dcm")
    logger.info("mailed jane@example.org")
    text = rg.RuntimeGuarder(AppContext(logger=handler))._capture_logs()
    lines = text.split("\n")
    assert [line.split(" ", 2)[2] for line in lines] == ["WARNING Saved <path>", "INFO mailed <email>"]
    assert handler.asked == [1000]


def test_capture_caps_to_the_last_records(rg, utc, panel):
    handler, logger = panel
    for i in range(1200):
        logger.info("line %d", i)
    lines = rg.RuntimeGuarder(AppContext(logger=handler))._capture_logs().split("\n")
    assert len(lines) == 400 and lines[-1].endswith("INFO line 1199")


class FixedPanel:
    """A panel component that returns `result` or raises `error`."""

    def __init__(self, result=None, error=None):
        self.result, self.error = result, error

    def get_recent_logs(self, count):
        if self.error is not None:
            raise self.error
        return self.result


@pytest.mark.parametrize(
    "context",
    [None, AppContext(), AppContext(logger=object()), AppContext(logger=FixedPanel(None))],
    ids=["no-context", "no-logger", "no-reader", "returns-none"],
)
def test_capture_without_records_is_empty(rg, rg_logs, context):
    assert rg.RuntimeGuarder(context)._capture_logs() == ""
    assert rg_messages(rg_logs) == []


@pytest.mark.parametrize(
    "panel, error",
    [
        (FixedPanel(error=RuntimeError("panel closed")), RuntimeError),
        # Records the panel cannot render are handled like a panel that cannot be read.
        (FixedPanel([{"timestamp": 0}, "plain text"]), AttributeError),
        (FixedPanel([{"timestamp": 0}, {"timestamp": 1e20}]), OverflowError),
    ],
    ids=["panel-raises", "not-a-mapping", "stamp-out-of-range"],
)
def test_capture_of_unreadable_records_is_empty_and_logged(rg, rg_logs, panel, error):
    assert rg.RuntimeGuarder(AppContext(logger=panel))._capture_logs() == ""
    [record] = [r for r in rg_logs.records if r.name == "orlune.core.runtime_guard"]
    assert record.levelno == logging.DEBUG and record.getMessage() == PANEL_ERROR
    assert isinstance(record.exc_info[1], error)


def test_capture_lets_interrupts_through(rg):
    class Stop:
        def __str__(self):
            raise SystemExit(3)

    with pytest.raises(KeyboardInterrupt):
        rg.RuntimeGuarder(AppContext(logger=FixedPanel(error=KeyboardInterrupt())))._capture_logs()
    with pytest.raises(SystemExit):
        rg.RuntimeGuarder(AppContext(logger=FixedPanel([{"message": Stop()}])))._capture_logs()


def test_capture_calls_through_the_module(rg, monkeypatch):
    seen = []
    monkeypatch.setattr(rg, "format_panel_logs", lambda records: seen.append(records) or "done")
    assert rg.RuntimeGuarder(AppContext(logger=FixedPanel(({"message": "a"},))))._capture_logs() == "done"
    assert seen == [[{"message": "a"}]] and type(seen[0]) is list


# ---- against the same rendering written in Python ---------------------------------------------------


def python_rendering(rg, records):
    return reference_rendering(records, rg.sanitize_log_text, rg._MAX_LOG_LINES)


values = st.one_of(
    st.none(), st.integers(-10**6, 4 * 10**9), st.floats(-1e10, 1e11),
    st.text(alphabet=st.sampled_from(list("0123456789.e+- abxé\n\t\u3000/@")), max_size=14),
    st.just(float("nan")), st.just(""), st.just(0), st.booleans(),
)
records = st.lists(st.dictionaries(st.sampled_from(["timestamp", "level", "message", "other"]), values),
                   max_size=8)


@settings(max_examples=int(os.environ.get("RG_FUZZ_EXAMPLES", "2000")) // 4, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(records)
def test_differential_rendering(rg, records):
    def outcome(render):
        try:
            return render(records)
        except Exception as exc:  # the same failure is as good as the same text
            return type(exc)

    assert outcome(rg.format_panel_logs) == outcome(lambda r: python_rendering(rg, r))
