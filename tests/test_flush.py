"""The component's flush against a real collector: selection, items, marking, one at a time."""

import json
import threading

import pytest

import orlune.auth.validator as validator
from conftest import rg_messages
from support_upload import (PAYLOAD_KEYS, Abort, Hold, closed_port_url, endpoint,  # noqa: F401
                            module_records, reply, row)


def guard(rg, *rows):
    g = rg.RuntimeGuarder(None)
    g._sessions = [dict(r) for r in rows]
    return g


def stored(rg):
    return [json.loads(line) for line in rg._SESSIONS_FILE.read_text().splitlines()]


def sent_ids(endpoint):
    return [s["session_id"] for s in endpoint.received[-1].payload["sessions"]]


def flushed(g):
    return [r.get("flushed") for r in g._sessions]


def test_pending_rows_become_items_and_are_marked(rg, rg_logs, monkeypatch, endpoint):
    long_log = "x" * 48010
    g = guard(rg, row(0, flushed=True), row(1, log_text="boot ok", stale=True, extra=1),
              {"session_id": "s-2", "log_text": None, "duration_s": None},
              row(3, duration_s=12.9, log_text="", ended_cleanly=0),
              row(4, duration_s=" 7", log_text=long_log), row(5, ended_at=None),
              row(6, session_id=["s-6"]))  # rows the server cannot take: left out, kept pending
    del g._sessions[1]["flushed"]  # missing counts as pending
    g._app_version = lambda: "7.7"  # identity goes through self
    g._flush(5)
    payload = endpoint.received[-1].payload
    assert list(payload) == PAYLOAD_KEYS and payload["app_version"] == "7.7"
    assert payload["machine_id"] == validator._get_machine_id() and payload["plan"] == "pro"
    items = payload["sessions"]
    assert sent_ids(endpoint) == ["s-1", "s-2", "s-3", "s-4"]
    assert list(items[0]) == ["session_id", "started_at", "ended_at", "duration_s", "ended_cleanly",
                              "log_text"]
    assert items[1] == {"session_id": "s-2", "started_at": "", "ended_at": "", "duration_s": 0,
                        "ended_cleanly": False}
    assert (items[2]["duration_s"], items[2]["ended_cleanly"], "log_text" in items[2]) == (12, False, False)
    assert items[3]["duration_s"] == 7 and items[3]["log_text"] == long_log[:48000]
    assert flushed(g) == [True] * 5 + [False] * 2 and stored(rg) == g._sessions
    assert g._sessions[4]["log_text"] == long_log  # the store keeps the full text
    assert rg_messages(rg_logs) == [
        "Usage flush left out 2 pending row(s) the server cannot take; they stay in the store: "
        "'s-5' (ended_at), ['s-6'] (session_id)"] and not g._flush_lock.locked()

    # Rows without an id go out with "" and are marked; the text cap is read at use.
    monkeypatch.setattr(rg, "_MAX_LOG_CHARS", 3)
    g._sessions = [{"started_at": "a", "log_text": "abcdef"}, row(9, session_id=None, flushed=True)]
    g._machine_id = lambda: ""  # sent even when empty
    g._flush(5, False, False)
    assert endpoint.received[-1].payload["machine_id"] == ""
    assert endpoint.received[-1].payload["sessions"][0]["log_text"] == "abc"
    assert sent_ids(endpoint) == [""] and flushed(g) == [True, True]


def test_rejected_or_failed_flush_loses_nothing(rg, rg_logs, monkeypatch, endpoint):
    endpoint.reply_override = reply(500, b'{"error": "down"}')
    g = guard(rg, row(1), row(2, duration_s="abc"))
    g._flush(5)  # a row that cannot be converted is left out; the other still goes
    assert sent_ids(endpoint) == ["s-1"]
    g._sessions[1]["duration_s"] = 3
    g._flush(5)
    monkeypatch.setattr(validator, "_DEFAULT_VALIDATION_URL", closed_port_url())
    g._flush(5)
    assert len(endpoint.received) == 2 and flushed(g) == [False, False]
    assert not rg._SESSIONS_FILE.exists()
    records = module_records(rg_logs)
    assert [r.getMessage() for r in records] == [
        "Usage flush left out 1 pending row(s) the server cannot take; they stay in the store: "
        "'s-2' (duration_s)", "Usage flush HTTP 500", "Usage flush HTTP 500", "Usage flush failed"]
    assert records[3].exc_info[1] is not None

    def abort():
        raise Abort

    g._token_fields = abort
    with pytest.raises(Abort):
        g._flush(5)
    assert not g._flush_lock.locked() and not g._lock.locked()


def test_nothing_to_send(rg, rg_logs, monkeypatch, endpoint):
    monkeypatch.setattr(rg, "_skip_endpoint_warned", False)
    g = guard(rg, row(1, flushed=True))
    g._flush(5)  # nothing pending
    g._sessions.append(row(2))
    g._enabled = False
    g._flush(5)
    g._enabled = True
    monkeypatch.setattr(validator, "_SERVER_API_KEY", "")
    g._flush(5)  # not configured: silent, the light upload's warning is not involved
    assert endpoint.received == [] and rg_messages(rg_logs) == []
    assert rg._skip_endpoint_warned is False and not rg._SESSIONS_FILE.exists()

    monkeypatch.setattr(validator, "_SERVER_API_KEY", endpoint.api_key)
    g._sessions.pop()
    g._flush(timeout=5, allow_empty=True)
    assert endpoint.received[-1].payload["sessions"] == [] and stored(rg) == [row(1, flushed=True)]


def test_one_flush_at_a_time(rg, endpoint):
    hold = Hold()
    endpoint.reply_override = hold
    g = guard(rg, row(1))
    g._spawn_flush(5)
    first = next(t for t in threading.enumerate() if t.name == "orlune-usage-flush")
    try:
        assert hold.entered.wait(5) and first.daemon
        g._flush(5)  # returns at once: the first is still posting
        g._spawn_flush(5)
        for t in threading.enumerate():
            if t.name == "orlune-usage-flush" and t is not first:
                t.join(5)
                assert not t.is_alive()
        assert first.is_alive() and hold.calls == 1
        assert g._lock.acquire(blocking=False)  # the store lock is free during the request
        g._lock.release()
    finally:
        hold.release.set()
    first.join(5)
    assert not first.is_alive() and hold.calls == 1 and flushed(g) == [True]

    seen = threading.Event()
    g._flush = lambda **kw: seen.set() if kw == {"timeout": 1.5, "wait": False} else None
    g._spawn_flush(1.5)
    assert seen.wait(5)


def test_row_changed_in_flight_stays_pending(rg, endpoint):
    hold = Hold()
    endpoint.reply_override = hold
    g = guard(rg, row(1, ended_at="", ended_cleanly=False, duration_s=0), row(2), row(4), row(4))
    worker = threading.Thread(target=g._flush, kwargs={"timeout": 5})
    worker.start()
    try:
        assert hold.entered.wait(5)
        with g._lock:  # closed while its open state is on the wire, as cleanup would
            g._sessions[0].update(ended_at="2024-05-01T10:00:00+00:00", ended_cleanly=True,
                                  duration_s=3600, flushed=False, log_text="bye")
            g._sessions.append(row(3))
    finally:
        hold.release.set()
    worker.join(5)
    assert flushed(g) == [False, True, True, True, False] and [r["flushed"] for r in stored(rg)] == flushed(g)

    endpoint.reply_override = None
    g._flush(5)
    assert sent_ids(endpoint) == ["s-1", "s-3"]
    assert endpoint.received[-1].payload["sessions"][0]["log_text"] == "bye"
    assert flushed(g) == [True] * 5
