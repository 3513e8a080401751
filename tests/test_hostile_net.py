"""Servers that misbehave, the user's opt-out, bad rows and fork: telemetry stays out of the way."""

import gc
import json
import math
import os
import select
import threading
import time
import weakref

import pytest

from conftest import rg_messages, run_python
from support_host import collector, make_context  # noqa: F401
from support_hostile import (Answer, Huge, Redirect, Silent, TrickleBody, TrickleStatus,  # noqa: F401
                             json_object_of_size, lock_held_elsewhere)
from support_upload import API_KEY, endpoint, module_records, point_host_at, row  # noqa: F401

ITEM = {"session_id": "open-1", "started_at": "2024-05-01T09:00:00+00:00",
        "ended_at": "2024-05-01T09:00:00+00:00", "duration_s": 0, "ended_cleanly": True,
        "log_text": "opened Viewer"}


def stored(rg):
    return [json.loads(line) for line in rg._SESSIONS_FILE.read_text().splitlines()]


def guard_with(rg, *rows):
    g = rg.RuntimeGuarder(None)
    g._sessions = [dict(r) for r in rows]
    return g


def timed(fn, *args, **kwargs):
    start = time.monotonic()
    fn(*args, **kwargs)
    return time.monotonic() - start


@pytest.mark.parametrize("status", [301, 302, 307, 308])
def test_redirects_are_never_followed(rg, rg_logs, monkeypatch, status):
    with Answer() as elsewhere, Redirect(status, elsewhere.url + "/api/usage") as server:
        point_host_at(monkeypatch, server.url)
        g = guard_with(rg, row(1))
        g._flush(5)
        assert rg._post_usage([ITEM], timeout=5) == (status, None)
        assert len(server.requests) == 2
        assert elsewhere.requests == []  # neither the key nor the sealed body went there
    assert g._sessions[0]["flushed"] is False
    assert rg_messages(rg_logs)[0] == f"Usage flush HTTP {status}"


@pytest.mark.parametrize("server_cls, delivered", [(Silent, False), (TrickleStatus, False),
                                                   (TrickleBody, True)],
                         ids=["silent", "trickle-status", "trickle-body"])
def test_shutdown_flush_ends_on_the_wall_clock(rg, rg_logs, monkeypatch, server_cls, delivered):
    with server_cls() as server:
        point_host_at(monkeypatch, server.url)
        g = guard_with(rg, row(1))
        took = timed(g._flush, timeout=1.0, wait=True)  # a byte every 0.5 s beats 1.0 s per read
        assert server.requests
    assert took < 1.0 + 0.5 + 3.0  # generous slack on a shared machine; unbounded before
    assert g._sessions[0]["flushed"] is delivered and not g._flush_lock.locked()
    if not delivered:  # a 200 whose body trickles is accepted: the flush reads the status only
        [record] = module_records(rg_logs)
        assert record.getMessage() == "Usage flush failed" and record.exc_info[1] is not None


def test_exit_with_an_abandoned_post_in_flight(tmp_path):
    """The worker left behind by a bounded flush wakes while the interpreter finalizes."""
    with TrickleStatus() as server:
        proc = run_python(
            """
            from orlune.core.runtime_guard import RuntimeGuarder
            g = RuntimeGuarder(None)
            g._sessions = [{"session_id": "s-1", "flushed": False}]
            g._flush(timeout=1.0, wait=True)
            print(g._sessions[0]["flushed"], flush=True)
            """,
            env={"HOME": str(tmp_path), "ORLUNE_SERVER_URL": server.url + "/api/validate",
                 "ORLUNE_SERVER_API_KEY": API_KEY}, busy_exit=True,
        )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "False" and "Fatal" not in proc.stderr


def test_cleanup_leaves_a_held_start_up_flush_behind(rg, rg_logs, monkeypatch, tmp_path):
    monkeypatch.setattr(rg, "_SHUTDOWN_FLUSH_TIMEOUT", 0.5)  # read when cleanup runs
    with TrickleStatus() as server:
        point_host_at(monkeypatch, server.url)
        g = rg.RuntimeGuarder(make_context(tmp_path))
        g.initialize()
        assert server.arrived.wait(5)
        took = timed(g.cleanup)
        [closed] = stored(rg)  # persisted although the flush still holds its lock
        assert g._flush_lock.locked() and len(server.requests) == 1  # no shutdown flush
    assert took < 0.5 + 3.0
    assert closed["ended_cleanly"] is True and closed["flushed"] is False and closed["ended_at"]
    assert ("Usage flush still running at shutdown; the closed session stays pending for the "
            "next start") in rg_messages(rg_logs)
    assert g._flush_lock.acquire(timeout=5)  # the cut connection ends the start-up flush


@pytest.mark.posix
def test_cleanup_bound_holds_while_another_instance_hangs_on_the_store(
        rg, rg_logs, collector, tmp_path, monkeypatch, lock_held_elsewhere):  # noqa: F811
    """The store writes (each waiting for the store lock) and the POST share one shutdown
    bound: about 2 x the flush timeout + 1 s, however slow the server and the other instance."""
    monkeypatch.setattr(rg, "_SHUTDOWN_FLUSH_TIMEOUT", 0.5)
    collector.reply_override = lambda rec: (200, b"{}", 0.3)  # slow, inside the POST's own bounds
    g = rg.RuntimeGuarder(make_context(tmp_path))
    g._load_store()  # no store yet: read without the lock
    g._sessions.append(row(1, ended_at="", ended_cleanly=False))
    g._current_id = "s-1"
    took = timed(g.cleanup)
    assert took < 2 * 0.5 + 1 + 1.5  # over 4.3 s when each wait took its own full bound
    assert g._sessions[0]["ended_cleanly"] is True and g._sessions[0]["flushed"] is False
    assert rg_messages(rg_logs)[0].startswith("Could not persist usage store: [Errno 11]")


@pytest.mark.posix
def test_replies_are_read_up_to_one_mebibyte(rg, monkeypatch):
    import resource
    for size, expected in [(1 << 20, 1 << 20), ((1 << 20) + 1, None)]:
        with Answer(200, json_object_of_size(size)) as server:
            point_host_at(monkeypatch, server.url)
            status, data = rg._post_usage([ITEM], timeout=5)
        assert status == 200 and (data and len(json.dumps(data))) == expected

    peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # noqa: E731
    with Huge(512 << 20) as server:
        point_host_at(monkeypatch, server.url)
        before = peak()
        assert rg._post_usage([ITEM], timeout=5) == (200, None)
        g = guard_with(rg, row(1))
        g._flush(5)
        grown = peak() - before
    assert g._sessions[0]["flushed"] is True and grown < 64 << 20, grown


def test_opt_out_stops_every_upload(rg, collector, tmp_path, monkeypatch):  # noqa: F811
    monkeypatch.setenv("ORLUNE_TELEMETRY", " Off ")
    g = rg.RuntimeGuarder(make_context(tmp_path))
    g.initialize()
    assert g._flush_lock.acquire(timeout=5)  # the start-up flush ran (and sent nothing)
    g._flush_lock.release()
    g.cleanup()
    [kept] = stored(rg)
    assert collector.received == [] and kept["ended_cleanly"] is True and kept["flushed"] is False

    monkeypatch.delenv("ORLUNE_TELEMETRY")  # switched back on: the opted-out run stays local
    nxt = rg.RuntimeGuarder(make_context(tmp_path))
    nxt.initialize()
    assert collector.wait_for(1)
    nxt.cleanup()
    assert [s["session_id"] for rec in collector.received for s in rec.payload["sessions"]] == [nxt._current_id] * 2
    assert stored(rg) == [kept, {**stored(rg)[1], "flushed": True}] and kept["opted_out"] is True


def test_a_bad_row_never_blocks_the_others(rg, rg_logs, collector, tmp_path):  # noqa: F811
    closed = {"ended_at": "2024-05-01T09:10:00+00:00"}
    rows = [row(1), row(2, duration_s="abc"), row(3, duration_s=1e400), row(4, **closed)]
    rg._USAGE_DIR.mkdir(parents=True)
    rg._SESSIONS_FILE.write_text("".join(json.dumps(r) + "\n" for r in rows))
    g = rg.RuntimeGuarder(make_context(tmp_path))
    g.initialize()
    assert collector.wait_for(1)
    g.cleanup()
    first = [s["session_id"] for s in collector.received[0].payload["sessions"]]
    assert first == ["s-1", "s-4", g._current_id]
    after = stored(rg)
    assert [r["flushed"] for r in after] == [True, False, False, True, True]
    assert after[1]["duration_s"] == "abc" and math.isinf(after[2]["duration_s"])
    left_out = [r for r in module_records(rg_logs) if r.getMessage().startswith("Usage flush left out")]
    assert [r.args for r in left_out] == [(2, "'s-2' (duration_s), 's-3' (duration_s)")] * 2  # start-up, shutdown


@pytest.mark.posix
def test_forked_child_holds_no_parent_lock(rg, collector, tmp_path):  # noqa: F811
    """The parent's start-up flush is held open by the server and another thread holds the
    auth lock when the process forks: the child's cleanup runs its own flush at once."""
    held, release = threading.Event(), threading.Event()

    def hold_first(rec):
        if held.is_set():
            return 200, b"{}", 0
        held.set()
        release.wait(20)
        return 200, b"{}", 0

    collector.reply_override = hold_first
    g = rg.RuntimeGuarder(make_context(tmp_path))
    g.initialize()
    locker_ready = threading.Event()

    def hold_module_locks():
        with rg._auth_ready_lock, rg._light_threads_lock:
            rg._light_threads.add(threading.current_thread())
            locker_ready.set()
            release.wait(20)
        rg._light_threads.discard(threading.current_thread())

    locker = threading.Thread(target=hold_module_locks)
    locker.start()
    try:
        assert held.wait(5) and locker_ready.wait(5) and g._flush_lock.locked()
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: report and leave without running any of pytest's teardown
            try:
                os.close(read_end)
                g.cleanup()
                rg.report_open("ForkedChild")  # a light thread under the re-created registry lock
                rg.flush_runtime_guard(10)
                report = {"auth_lock": rg._auth_ready_lock.acquire(timeout=2),
                          "light_lock": rg._light_threads_lock.acquire(timeout=2),
                          "light_threads": len(rg._light_threads)}
                os.write(write_end, json.dumps(report).encode())
            finally:
                os._exit(0)
        os.close(write_end)
        ready, _, _ = select.select([read_end], [], [], 30)
        if not ready:
            os.kill(pid, 9)
        raw = os.read(read_end, 4096) if ready else b""
        os.close(read_end)
        os.waitpid(pid, 0)
    finally:
        release.set()
        locker.join(5)
    report = json.loads(raw)
    assert report["auth_lock"] and report["light_lock"] and report["light_threads"] == 0
    assert collector.wait_for(3)  # the parent's held request is recorded once released
    sent = [s for rec in collector.received for s in rec.payload["sessions"]]
    # The child's shutdown flush and its open report went first: its flush lock was free, not
    # the parent's held one, and its light-thread registry did not wait on the parent's lock.
    assert [s["ended_cleanly"] for s in sent] == [True, True, False]
    assert sent[1]["log_text"].endswith(" INFO Opened ForkedChild")


def test_components_are_tracked_weakly(rg):
    ref = weakref.ref(rg.RuntimeGuarder(None))
    gc.collect()
    assert ref() is None
