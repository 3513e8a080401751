"""The user's opt-out: a session that ran while telemetry was off is kept on the machine for
good, by this process and every later one, and other processes sharing the store keep the mark."""

import json
import logging
import subprocess
import sys

import pytest

from conftest import child_env, rg_messages, run_python
from support_host import API_KEY, Panel, collector, endpoint, make_context  # noqa: F401
from support_upload import Hold, closed_port_url

WORD_NOTE = ("ORLUNE_TELEMETRY='disabled' is not a switch word (off: 0, false, no, off; on: 1, "
             "true, yes, on): telemetry is treated as on")


def stored(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


def sent_items(collector):  # noqa: F811
    return [s for rec in collector.received for s in rec.payload["sessions"]]


def run_app(collector, home, **env):  # noqa: F811
    """One run of a host application in its own process: initialize, a log line, cleanup."""
    proc = run_python(
        """
        import logging
        from orlune.app import AppContext
        from orlune.core.runtime_guard import RuntimeGuarder
        class Panel:
            def get_recent_logs(self, count=1000):
                return [{"timestamp": 0, "level": "INFO", "message": "opened scan"}]
        ctx = AppContext()
        ctx.register("logger", Panel())
        g = RuntimeGuarder(ctx)
        g.initialize()
        g.cleanup()
        print(g._current_id)
        """,
        env=dict(env, HOME=str(home), ORLUNE_SERVER_URL=collector.url + "/api/validate",
                 ORLUNE_SERVER_API_KEY=API_KEY),
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


@pytest.mark.parametrize("switch", [{"ORLUNE_TELEMETRY": "off"}, {"DO_NOT_TRACK": "1"},
                                    {"DO_NOT_TRACK": "true", "ORLUNE_TELEMETRY": "1"}],
                         ids=["ORLUNE_TELEMETRY", "DO_NOT_TRACK", "DO_NOT_TRACK-wins"])
def test_opted_out_run_is_stored_and_never_sent_later(collector, tmp_path, switch):  # noqa: F811
    home = tmp_path / "home"
    quiet = run_app(collector, home, **switch)
    assert collector.received == []
    store = home / ".orlune" / "usage" / "sessions.jsonl"
    [row] = stored(store)
    assert row["session_id"] == quiet and row["ended_cleanly"] is True and row["flushed"] is False
    assert row["log_text"].endswith("INFO opened scan")
    assert list(row)[-2:] == ["opted_out", "log_text"] and row["opted_out"] is True

    loud = run_app(collector, home)  # telemetry on again: only the new run goes out
    assert {s["session_id"] for s in sent_items(collector)} == {loud}
    rows = {r["session_id"]: r for r in stored(store)}
    assert rows[quiet] == row and rows[loud]["flushed"] is True and "opted_out" not in rows[loud]


def test_opt_out_at_shutdown_keeps_the_closed_session(rg, collector, tmp_path):  # noqa: F811
    """Telemetry on at start-up (the open row goes out), off by shutdown: the closed row, with
    its log text, never leaves, neither then nor at the next start."""
    ctx = make_context(tmp_path, enabled=True, panel=Panel([{"timestamp": 0, "message": "secret"}]))
    guard = rg.RuntimeGuarder(ctx)
    guard.initialize()
    assert collector.wait_for(1)
    guard._flush_lock.acquire(timeout=5)
    guard._flush_lock.release()
    ctx.get_component("config_manager").set_value("Telemetry", "enabled", False)
    guard.cleanup()
    [opened] = sent_items(collector)
    assert opened["session_id"] == guard._current_id and opened["ended_at"] == ""
    [row] = stored(rg._SESSIONS_FILE)
    assert row["opted_out"] is True and row["ended_cleanly"] is True and "secret" in row["log_text"]

    ctx.get_component("config_manager").set_value("Telemetry", "enabled", True)
    later = rg.RuntimeGuarder(ctx)
    later.initialize()
    later.cleanup()
    first = [s for s in sent_items(collector) if s["session_id"] == guard._current_id]
    assert first == [opened] and len(collector.received) == 3  # the later run's two uploads
    assert stored(rg._SESSIONS_FILE)[0] == row


def test_env_opt_out_at_shutdown_only(rg, collector, tmp_path, monkeypatch):  # noqa: F811
    guard = rg.RuntimeGuarder(make_context(tmp_path))
    guard.initialize()
    assert collector.wait_for(1)
    guard._flush_lock.acquire(timeout=5)
    guard._flush_lock.release()
    monkeypatch.setenv("DO_NOT_TRACK", "yes")
    guard.cleanup()
    assert len(collector.received) == 1
    assert stored(rg._SESSIONS_FILE)[0]["opted_out"] is True


def test_flush_leaves_marked_rows_out(rg, collector, tmp_path):  # noqa: F811
    rows = [{"session_id": "kept", "ended_at": "x", "flushed": False, "opted_out": True},
            {"session_id": "sent", "ended_at": "x", "flushed": False, "opted_out": False}]
    rg._USAGE_DIR.mkdir(parents=True)
    rg._SESSIONS_FILE.write_text("".join(json.dumps(r) + "\n" for r in rows))
    guard = rg.RuntimeGuarder(make_context(tmp_path))
    guard._load_store()
    guard._flush(wait=True)
    assert [s["session_id"] for s in sent_items(collector)] == ["sent"]
    assert [r["flushed"] for r in stored(rg._SESSIONS_FILE)] == [False, True]


WORKER = """
import sys
from orlune.app import AppContext, ConfigManager
from orlune.core.runtime_guard import RuntimeGuarder
ctx = AppContext()
ctx.register("config_manager", ConfigManager(sys.argv[1], ctx))
g = RuntimeGuarder(ctx)
g.initialize()
print(g._current_id, flush=True)
sys.stdin.readline()
g.cleanup()
print("closed", flush=True)
"""


def test_other_instance_keeps_the_mark(rg, collector, tmp_path):  # noqa: F811
    """Instance A's open row is in flight in B's start-up flush when A opts out and closes it:
    B's delivery of the open state must not erase A's closed, marked row, and B's shutdown
    flush must not send it."""
    settings = tmp_path / "a.ini"
    env = child_env(HOME=str(rg._USAGE_DIR.parents[1]), ORLUNE_SERVER_URL=closed_port_url(),
                    ORLUNE_SERVER_API_KEY=API_KEY)
    a = subprocess.Popen([sys.executable, "-P", "-c", WORKER, str(settings)], env=env, text=True,
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    a_id = a.stdout.readline().strip()  # A is up; its open row is pending (its server is down)

    hold = Hold()
    collector.reply_override = hold
    b = rg.RuntimeGuarder(make_context(tmp_path))
    b.initialize()
    assert hold.entered.wait(5)
    settings.write_text("[Telemetry]\nenabled = false\n")
    a.stdin.write("close\n")
    a.stdin.flush()
    assert a.stdout.readline().strip() == "closed"
    a.communicate(timeout=30)
    hold.release.set()
    b._flush_lock.acquire(timeout=5)
    b._flush_lock.release()
    collector.reply_override = None
    b.cleanup()

    a_sent = [s for s in sent_items(collector) if s["session_id"] == a_id]
    assert [s["ended_at"] for s in a_sent] == [""]  # only the open state A had before opting out
    [a_row] = [r for r in stored(rg._SESSIONS_FILE) if r["session_id"] == a_id]
    assert a_row["opted_out"] is True and a_row["ended_cleanly"] is True and a_row["flushed"] is False
    [b_mem] = [r for r in b._sessions if r["session_id"] == a_id]
    assert b_mem["opted_out"] is True


@pytest.mark.parametrize("value, on", [
    (None, True), ("", True), ("  ", True), ("0", True), ("false", True), (" No ", True),
    ("off", True), ("1", False), ("true", False), ("YES", False), ("anything", False),
])
def test_do_not_track(rg, monkeypatch, value, on):
    if value is not None:
        monkeypatch.setenv("DO_NOT_TRACK", value)
    assert rg._telemetry_on() is on


def test_unknown_switch_word_is_noted_once(rg, monkeypatch, rg_logs):
    monkeypatch.setenv("ORLUNE_TELEMETRY", "disabled")
    assert rg._telemetry_on() is True and rg._telemetry_on() is True
    assert rg_messages(rg_logs, level=logging.INFO) == [WORD_NOTE]
    for word in ("on", "0", ""):
        monkeypatch.setenv("ORLUNE_TELEMETRY", word)
        rg._telemetry_on()
    assert rg_messages(rg_logs) == [WORD_NOTE]


def test_do_not_track_silences_open_reports_in_a_real_process(collector, tmp_path):  # noqa: F811
    code = """
        from orlune.core.runtime_guard import flush_runtime_guard, report_open, runtimeguard
        report_open("Viewer")
        runtimeguard("Export")(lambda: None)()
        flush_runtime_guard()
        """
    env = dict(HOME=str(tmp_path), ORLUNE_SERVER_URL=collector.url + "/api/validate",
               ORLUNE_SERVER_API_KEY=API_KEY)
    proc = run_python(code, env=dict(env, DO_NOT_TRACK="1"))
    assert proc.returncode == 0, proc.stderr
    assert collector.received == []
    proc = run_python(code, env=env)  # the same script without the opt-out: both arrive
    assert proc.returncode == 0 and collector.wait_for(2)
