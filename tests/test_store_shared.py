"""Several instances of the application, each in its own process, sharing one store."""

import json
import os
import pathlib
import random
import subprocess
import sys

import pytest

from conftest import child_env
from support_host import make_context
from support_upload import API_KEY, closed_port_url, endpoint  # noqa: F401

WORKER = str(pathlib.Path(__file__).with_name("instance_worker.py"))
ROUNDS = 20
KILLS = 10


def start(mode, *args, url):
    env = child_env(ORLUNE_SERVER_URL=url, ORLUNE_SERVER_API_KEY=API_KEY)
    return subprocess.Popen([sys.executable, "-P", WORKER, mode, *map(str, args)], env=env, text=True,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def report(proc):
    out, err = proc.communicate(input="", timeout=300)  # closing stdin also stops "until-eof"
    assert proc.returncode == 0, err
    return json.loads(out)


def stored(rg):
    """The store's rows; a torn or partial line fails here."""
    text = rg._SESSIONS_FILE.read_text()
    assert text == "" or text.endswith("\n")
    return [json.loads(line) for line in text.splitlines()]


def run_together(count, url):
    procs = [start("rounds", ROUNDS, url=url) for _ in range(count)]
    for p in procs:  # all are up and waiting: start them at once
        p.stdin.write("go\n")
        p.stdin.flush()
    return [session for p in procs for session in report(p)]


def check_all_closed(rg, sessions, expected):
    ids = [s["id"] for s in sessions]
    assert len(set(ids)) == len(ids) == expected
    assert [s for s in sessions if s["stale_seen"]] == []  # nobody ever saw a live row as stale
    rows = {r["session_id"]: r for r in stored(rg)}
    assert sorted(rows) == sorted(ids)  # nothing lost
    assert [r for r in rows.values() if not r["ended_cleanly"] or "stale" in r] == []
    assert os.listdir(rg._USAGE_DIR) == ["sessions.jsonl"]  # no lock or temporary file left
    return rows


@pytest.mark.parametrize("count", [2, 3])
def test_instances_offline_keep_every_session(rg, count):
    rows = check_all_closed(rg, run_together(count, closed_port_url()), count * ROUNDS)
    assert not any(r["flushed"] for r in rows.values())


@pytest.mark.parametrize("count", [2, 3])
def test_instances_online_deliver_every_session(rg, endpoint, count):  # noqa: F811
    rows = check_all_closed(rg, run_together(count, endpoint.url + "/api/validate"), count * ROUNDS)
    assert all(r["flushed"] for r in rows.values())
    closed_sent = {s["session_id"] for rec in endpoint.received if rec.status == 200
                   for s in rec.payload["sessions"] if s["ended_cleanly"]}
    assert set(rows) <= closed_sent


def test_kill_during_writes_loses_nothing(rg, tmp_path):
    # Large rows, so that most kills land inside a write.
    seeded = [{"session_id": f"seed-{i}", "started_at": "2024-01-01T00:00:00+00:00",
               "ended_at": "2024-01-01T00:00:05+00:00", "duration_s": 5, "ended_cleanly": True,
               "flushed": True, "log_text": f"{i} " * 15000} for i in range(30)]
    rg._USAGE_DIR.mkdir(parents=True)
    rg._SESSIONS_FILE.write_text("".join(json.dumps(r, separators=(",", ":")) + "\n" for r in seeded))
    url = closed_port_url()
    other = start("until-eof", 120, url=url)
    rng = random.Random(7)
    killed = []
    for _ in range(KILLS):
        writer = start("writer", url=url)
        tag, session_id = writer.stdout.readline().split()
        assert tag == "id"
        killed.append(session_id)
        for _ in range(rng.randint(1, 20)):
            assert writer.stdout.readline().startswith("persisted")
        writer.kill()
        writer.communicate()
        ids = {r["session_id"] for r in stored(rg)}
        assert ids >= set(killed) | {r["session_id"] for r in seeded}
    sessions = report(other)

    guard = rg.RuntimeGuarder(make_context(tmp_path, enabled=False))
    guard.initialize()  # the killed writers' rows are stale now: their owners are gone
    guard.cleanup()
    rows = {r["session_id"]: r for r in stored(rg)}
    assert [rows[r["session_id"]] for r in seeded] == seeded
    assert all(rows[k]["stale"] and not rows[k]["ended_cleanly"] and rows[k]["writes"] >= 1 for k in killed)
    assert {k for s in sessions for k in s["stale_seen"]} <= set(killed)  # only dead owners' rows
    assert all(rows[s["id"]]["ended_cleanly"] and "stale" not in rows[s["id"]] for s in sessions)
    assert os.listdir(rg._USAGE_DIR) == ["sessions.jsonl"]


@pytest.mark.posix
def test_forked_child_leaves_the_parents_session_lock(rg, tmp_path):
    """A child that inherited the component (and its lock) and shuts it down must not make the
    live parent's session look abandoned to other instances."""
    import fcntl

    g = rg.RuntimeGuarder(make_context(tmp_path))
    g._enabled = False
    g.initialize()
    lock_file = rg._USAGE_DIR / f"session-{g._current_id}.lock"
    assert lock_file.exists()
    pid = os.fork()
    if pid == 0:
        try:
            g.cleanup()
        finally:
            os._exit(0)
    os.waitpid(pid, 0)
    assert lock_file.exists()
    with open(lock_file, "rb") as other:  # another open file: it must find the lock taken
        with pytest.raises(BlockingIOError):
            fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
    g.cleanup()
    assert not lock_file.exists()
