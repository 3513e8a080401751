"""RuntimeGuarder driven as the host drives it, against the real local collector."""

import json
import signal
import threading

import pytest

from conftest import rg_messages, run_python
from support_host import API_KEY, Panel, collector, endpoint, make_context  # noqa: F401

OPEN_ROW_KEYS = ["session_id", "started_at", "ended_at", "duration_s", "ended_cleanly", "flushed"]


def stored(rg):
    return [json.loads(line) for line in rg._SESSIONS_FILE.read_text().splitlines()]


def wait_flushed(guard, timeout=5.0):
    """Wait for the start-up flush (a daemon thread) to finish."""
    assert guard._flush_lock.acquire(timeout=timeout)
    guard._flush_lock.release()


def test_road_of_a_session(rg, collector, tmp_path):
    records = [{"timestamp": 0, "level": "INFO", "message": "open /home/u/scans/a.dcm for x@y.org"}]
    guard = rg.RuntimeGuarder(make_context(tmp_path, panel=Panel(records)))
    assert guard.initialize() is True
    assert guard.state is rg.ComponentState.INITIALIZED
    assert collector.wait_for(1)
    wait_flushed(guard)
    [opened] = collector.received[0].payload["sessions"]
    assert opened["ended_at"] == "" and opened["ended_cleanly"] is False and "log_text" not in opened
    assert guard._sessions[-1]["flushed"] is True

    guard.cleanup()
    assert len(collector.received) == 2
    [closed] = collector.received[1].payload["sessions"]
    assert closed["session_id"] == opened["session_id"] and closed["ended_cleanly"] is True
    assert closed["log_text"].endswith("INFO open <path> for <email>")
    [row] = stored(rg)
    assert list(row) == OPEN_ROW_KEYS + ["log_text"]
    assert row["flushed"] is True and row["ended_at"] == closed["ended_at"]
    assert row["duration_s"] == rg._duration_s(row["started_at"], row["ended_at"])


def test_telemetry_off_records_but_never_sends(rg, collector, tmp_path, rg_logs):
    guard = rg.RuntimeGuarder(make_context(tmp_path, enabled=False))
    guard.initialize()
    assert not [t for t in threading.enumerate() if t.name == "orlune-usage-flush"]
    assert stored(rg)[0]["ended_at"] == ""
    guard.cleanup()
    assert collector.received == []
    [row] = stored(rg)
    assert row["ended_cleanly"] is True and row["flushed"] is False and row["log_text"] == ""
    assert rg_messages(rg_logs).count("Usage tracking disabled ([Telemetry] enabled=false)") == 2


def test_stale_rules(rg, collector, tmp_path):
    rows = [
        {"session_id": "open", "started_at": "2024-01-01T00:00:00+00:00", "ended_at": "",
         "duration_s": 5, "ended_cleanly": False, "flushed": True},
        {"session_id": "no-end-key", "flushed": True},
        {"session_id": "stale-sent", "ended_at": "", "stale": True, "flushed": True, "duration_s": 7},
        {"session_id": "closed", "ended_at": "2024-01-01T00:00:09+00:00", "ended_cleanly": False,
         "flushed": True, "duration_s": 9},
    ]
    rg._USAGE_DIR.mkdir(parents=True)
    rg._SESSIONS_FILE.write_text("".join(json.dumps(r) + "\n" for r in rows))
    guard = rg.RuntimeGuarder(make_context(tmp_path, enabled=False))
    guard.initialize()
    after = stored(rg)
    assert after[0] == {**rows[0], "ended_cleanly": False, "duration_s": 0, "stale": True, "flushed": False}
    assert list(after[0]) == OPEN_ROW_KEYS + ["stale"]
    assert after[1] == {"session_id": "no-end-key", "flushed": False, "ended_cleanly": False,
                        "duration_s": 0, "stale": True}
    assert after[2:4] == rows[2:4]
    assert after[4]["session_id"] == guard._current_id and "stale" not in after[4]


def test_current_session_walks_the_rows_newest_first(rg):
    class Journal(list):  # a host's list that reverses itself (and iterates some other way)
        def __iter__(self):
            return iter(())

        def __reversed__(self):
            return iter([{"session_id": "me", "n": 2}, {"session_id": "me", "n": 1}])

    guard = rg.RuntimeGuarder(None)
    guard._current_id = "me"
    guard._sessions = ({"session_id": "me", "n": 1}, {"session_id": None}, {"session_id": "me", "n": 2})
    assert guard._current_session() == {"session_id": "me", "n": 2}
    guard._sessions = Journal()
    assert guard._current_session() == {"session_id": "me", "n": 2}  # reversed(), as Python walks it
    guard._current_id = None
    assert guard._current_session() is None


def test_start_up_failure_leaves_store_alone(rg, collector, tmp_path, monkeypatch, rg_logs):
    blocker = tmp_path / "not-a-dir"
    blocker.write_text("")
    monkeypatch.setattr(rg, "_USAGE_DIR", blocker / "usage")
    monkeypatch.setattr(rg, "_SESSIONS_FILE", blocker / "usage" / "sessions.jsonl")
    guard = rg.RuntimeGuarder(make_context(tmp_path))
    assert guard.initialize() is True
    assert guard.state is rg.ComponentState.INITIALIZED
    [record] = [r for r in rg_logs.records if r.levelname == "ERROR"]
    assert record.getMessage() == "RuntimeGuarder initialize failed; continuing without telemetry"
    assert isinstance(record.exc_info[1], NotADirectoryError)
    guard.cleanup()
    assert "RuntimeGuarder cleanup flush failed" not in rg_messages(rg_logs)
    assert blocker.read_text() == "" and collector.received == []


def test_cleanup_never_replaces_a_store_it_did_not_read(rg, collector, tmp_path):
    rg._USAGE_DIR.mkdir(parents=True)
    before = json.dumps({"session_id": "earlier", "ended_at": "x", "flushed": True}) + "\n"
    rg._SESSIONS_FILE.write_text(before)
    guard = rg.RuntimeGuarder(make_context(tmp_path))
    guard._sessions.append({"session_id": "in-memory", "ended_at": "", "flushed": False})
    guard.cleanup()  # never initialized
    assert rg._SESSIONS_FILE.read_text() == before
    [upload] = collector.received
    assert [s["session_id"] for s in upload.payload["sessions"]] == ["in-memory"]


@pytest.mark.parametrize(
    "panel",
    [Panel(error=RuntimeError("panel down")), Panel([{"timestamp": 1e300}]), Panel(["not a mapping"])],
    ids=["panel-raises", "timestamp-overflow", "record-not-mapping"],
)
def test_unreadable_panel_still_closes_cleanly(rg, collector, tmp_path, panel, rg_logs):
    guard = rg.RuntimeGuarder(make_context(tmp_path, panel=panel))
    guard.initialize()
    wait_flushed(guard)
    guard.cleanup()
    [row] = stored(rg)
    assert row["ended_cleanly"] is True and row["log_text"] == "" and row["flushed"] is True
    assert "Could not read logging panel records" in rg_messages(rg_logs)
    assert "RuntimeGuarder cleanup flush failed" not in rg_messages(rg_logs)


def test_cleanup_waits_for_slow_start_up_flush(rg, collector, tmp_path):
    arrived, release = threading.Event(), threading.Event()

    def hold(rec):
        arrived.set()
        release.wait(5)
        return 200, b"{}", 0

    collector.reply_override = hold
    panel = Panel()
    seen = {}
    guard = rg.RuntimeGuarder(make_context(tmp_path, panel=panel))

    def capture():
        seen["flush_running"] = guard._flush_lock.locked()
        seen["requests"] = len(collector.received)
        return ""

    guard._capture_logs = capture
    guard.initialize()
    assert arrived.wait(5)
    collector.reply_override = None
    done = threading.Thread(target=guard.cleanup)
    done.start()
    done.join(0.3)
    assert done.is_alive() and "requests" not in seen  # still waiting for the flush
    release.set()
    done.join(5)
    assert seen == {"flush_running": False, "requests": 1}
    assert len(collector.received) == 2 and stored(rg)[0]["flushed"] is True


def run_app(code, home, **env):
    return run_python(code, env=dict(env, HOME=str(home)))


@pytest.mark.posix
def test_killed_run_is_marked_stale_and_delivered(collector, tmp_path):
    home = tmp_path / "crash-home"
    env = {"ORLUNE_SERVER_URL": collector.url + "/api/validate", "ORLUNE_SERVER_API_KEY": API_KEY}
    crashed = run_app(
        """
        import os, signal
        from orlune.app import AppContext
        from orlune.core.runtime_guard import RuntimeGuarder
        g = RuntimeGuarder(AppContext())
        g.initialize()
        g._flush_lock.acquire(timeout=5)
        print(g._current_id, flush=True)
        os.kill(os.getpid(), signal.SIGKILL)
        """,
        home, **env,
    )
    assert crashed.returncode == -signal.SIGKILL, crashed.stderr
    crashed_id = crashed.stdout.strip()
    nxt = run_app(
        """
        from orlune.app import AppContext
        from orlune.core.runtime_guard import RuntimeGuarder
        g = RuntimeGuarder(AppContext())
        g.initialize()
        g.cleanup()
        """,
        home, **env,
    )
    assert nxt.returncode == 0, nxt.stderr
    stale = [s for rec in collector.received for s in rec.payload["sessions"] if s["session_id"] == crashed_id]
    assert stale[-1]["ended_cleanly"] is False and stale[-1]["duration_s"] == 0 and stale[-1]["ended_at"] == ""
    rows = [json.loads(x) for x in (home / ".orlune/usage/sessions.jsonl").read_text().splitlines()]
    assert rows[0]["session_id"] == crashed_id and rows[0]["stale"] is True and rows[0]["flushed"] is True


def test_exit_while_start_up_flush_is_posting(collector, tmp_path):
    """The interpreter finalizes while the daemon flush waits for its reply: a clean exit."""
    release = threading.Event()
    collector.reply_override = lambda rec: (release.wait(3), (200, b"{}", 0))[1]
    env = {"ORLUNE_SERVER_URL": collector.url + "/api/validate", "ORLUNE_SERVER_API_KEY": API_KEY}
    timer = threading.Timer(0.8, release.set)
    timer.start()
    proc = run_python(
        """
        import time
        from orlune.app import AppContext
        from orlune.core.runtime_guard import RuntimeGuarder
        g = RuntimeGuarder(AppContext())
        g.initialize()
        time.sleep(0.3)
        """,
        env=dict(env, HOME=str(tmp_path / "exit-home")), busy_exit=True,
    )
    timer.cancel()
    assert proc.returncode == 0, proc.stderr
    assert "Fatal" not in proc.stderr and "terminate" not in proc.stderr


def test_failed_start_up_before_load_never_rewrites_store(rg, collector, tmp_path, rg_logs):
    class FlakySettings:
        calls = 0

        def get_value(self, section, key, default):
            FlakySettings.calls += 1
            if FlakySettings.calls == 1:
                raise RuntimeError("settings not ready")
            return True

    rg._USAGE_DIR.mkdir(parents=True)
    before = json.dumps({"session_id": "kept", "ended_at": "", "flushed": False}) + "\n"
    rg._SESSIONS_FILE.write_text(before)
    ctx = make_context(tmp_path)
    ctx._components["config_manager"] = FlakySettings()
    guard = rg.RuntimeGuarder(ctx)
    assert guard.initialize() is True
    guard.cleanup()
    assert rg._SESSIONS_FILE.read_text() == before
    assert collector.received == []
    assert rg_messages(rg_logs, level=40) == ["RuntimeGuarder initialize failed; continuing without telemetry"]
