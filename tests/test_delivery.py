"""Delivery under faults: bad rows, text that is not Unicode, a server with a body limit and
stores of odd shapes never stop the other rows from going out, and nothing is lost."""

import json
import os
import time

import pytest
import requests

from conftest import rg_messages, run_python
from support_host import Panel, make_context
from support_upload import API_KEY, module_records, point_host_at, row
from orlune.collector import Collector
from orlune.core.payload_crypto import encrypt_payload

MIB = 1 << 20
FULL_LOG = 48_000


def seed(rg, rows, raw_lines=()):
    rg._USAGE_DIR.mkdir(parents=True, exist_ok=True)
    text = "".join(json.dumps(r, separators=(",", ":")) + "\n" for r in rows)
    rg._SESSIONS_FILE.write_text(text + "".join(raw_lines))


def stored(rg):
    return [json.loads(line) for line in rg._SESSIONS_FILE.read_text().splitlines()]


def delivered_ids(collector):
    return [s["session_id"] for s in collector.sessions()]


@pytest.fixture
def limited(monkeypatch):
    """A collector that answers 413 to bodies over 1 MiB, as a proxy's default would."""
    with Collector(api_key=API_KEY, max_body=MIB) as c:
        point_host_at(monkeypatch, c.url)
        yield c


def run_component(rg, tmp_path, panel=None):
    g = rg.RuntimeGuarder(make_context(tmp_path, panel=panel))
    g.initialize()
    g._flush_lock.acquire(timeout=10)  # the start-up flush has ended
    g._flush_lock.release()
    g.cleanup()
    return g


def test_rows_the_server_cannot_take_stay_and_the_others_go(rg, rg_logs, limited, tmp_path):
    nan, inf = float("nan"), float("inf")
    bad = [row(100, started_at=nan), row(101, ended_at=inf), {**row(0), "session_id": nan},
           row(102, duration_s="abc"), row(103, duration_s=1e400), row(104, duration_s=10**30),
           row(105, duration_s=-5), row(106, started_at=None), {**row(0), "session_id": 7},
           {**row(0), "session_id": ["x"]}, row(107, ended_at=1)]
    good = [row(i) for i in range(10)]
    seed(rg, [r for pair in zip(good, bad) for r in pair] + bad[len(good):])
    g = run_component(rg, tmp_path)
    assert sorted(set(delivered_ids(limited))) == sorted([f"s-{i}" for i in range(10)] + [g._current_id])
    assert all(rec.status == 200 for rec in limited.received)
    after = stored(rg)
    assert sorted(r["session_id"] for r in after if r["flushed"]) == sorted(set(delivered_ids(limited)))
    assert len([r for r in after if not r["flushed"]]) == len(bad)  # kept, as they were
    left_out = [m for m in rg_messages(rg_logs) if m.startswith("Usage flush left out")]
    assert len(left_out) == 2  # one line per flush: start-up and shutdown
    assert left_out[0].startswith("Usage flush left out 11 pending row(s)")
    assert "'s-102' (duration_s)" in left_out[0]


def test_text_that_is_not_unicode_goes_out_replaced(rg, limited, tmp_path):
    name = os.fsdecode(b"caf\xe9.dcm")  # an undecodable file name, as the OS hands it over
    panel = Panel([{"timestamp": 0, "level": "INFO", "message": f"Opened {name}"}])
    for _ in range(3):
        g = run_component(rg, tmp_path, panel)
        assert not [r for r in stored(rg) if not r["flushed"]]  # nothing left pending, run after run
    closed = [s for s in limited.sessions() if s["session_id"] == g._current_id and s["ended_cleanly"]]
    assert closed[0]["log_text"].endswith("INFO Opened caf\ufffd.dcm")
    assert stored(rg)[-1]["log_text"].endswith(name)  # the store keeps the text as captured

    # The collector names the field it cannot store, whatever sends it.
    body = {"machine_id": "m", "token_id": "", "plan": "free", "app_version": "1", "os": "x", "tz": "UTC",
            "sessions": [{"session_id": "s", "started_at": "", "ended_at": "", "duration_s": 0,
                          "ended_cleanly": True, "log_text": name}]}
    reply = requests.post(limited.usage_url, json=encrypt_payload(body, API_KEY),
                          headers={"X-Server-Api-Key": API_KEY}, timeout=5)
    assert reply.status_code == 422
    assert reply.json() == {
        "error": "sessions[0].log_text must be valid Unicode text (it holds a lone surrogate)"}
    body["sessions"][0]["log_text"], body["plan"] = "ok", "\udc80"
    reply = requests.post(limited.usage_url, json=encrypt_payload(body, API_KEY),
                          headers={"X-Server-Api-Key": API_KEY}, timeout=5)
    assert reply.status_code == 422 and "'plan'" in reply.json()["error"]


def full_row(i):
    return row(i, session_id=f"full-{i:03d}", log_text=f"{i:03d} " + "x" * (FULL_LOG - 4))


def test_a_full_store_reaches_a_server_with_a_body_limit(rg, rg_logs, limited, tmp_path):
    # At shutdown: one upload within the bound, this session's row first, then the oldest rows.
    seed(rg, [full_row(i) for i in range(40)])
    g = rg.RuntimeGuarder(None)
    g._load_store()
    g._current_id = "full-039"
    g._flush(timeout=5, wait=True)
    [rec] = limited.received
    sent = [s["session_id"] for s in rec.payload["sessions"]]
    assert rec.status == 200 and len(rec.raw_body) <= rg._MAX_UPLOAD_BYTES
    assert sent == [f"full-{i:03d}" for i in range(len(sent) - 1)] + ["full-039"] and len(sent) > 10
    marks = [r["flushed"] for r in stored(rg)]
    assert marks == [True] * (len(sent) - 1) + [False] * (40 - len(sent)) + [True]

    # A row too large for any upload is kept, left out and named; the rest still goes.
    g._sessions.insert(0, row(0, started_at="t" * 800_000, session_id="huge"))
    g._spawn_flush(5)
    deadline = time.monotonic() + 30
    while sum(not r["flushed"] for r in g._sessions) > 1 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert [r["session_id"] for r in g._sessions if not r["flushed"]] == ["huge"]
    assert all(rec.status == 200 and len(rec.raw_body) <= rg._MAX_UPLOAD_BYTES for rec in limited.received)
    assert sorted(set(delivered_ids(limited))) == [f"full-{i:03d}" for i in range(40)]
    assert any("'huge' (too large for one upload)" in m for m in rg_messages(rg_logs))


def test_two_hundred_full_rows_are_all_delivered_over_successive_runs(rg, limited):
    seed(rg, [full_row(i) for i in range(200)])
    run = f"""
        import orlune.core.runtime_guard as rg, pathlib
        rg._USAGE_DIR = pathlib.Path({str(rg._USAGE_DIR)!r})
        rg._SESSIONS_FILE = rg._USAGE_DIR / "sessions.jsonl"
        g = rg.RuntimeGuarder(None)
        g.initialize(); g.cleanup()
    """
    env = {"ORLUNE_SERVER_URL": limited.url + "/api/validate", "ORLUNE_SERVER_API_KEY": API_KEY}
    seeded = {f"full-{i:03d}" for i in range(200)}
    for _ in range(5):  # each run's start-up flush sends what its time-out allows
        done = run_python(run, env=env)
        assert done.returncode == 0, done.stderr
        if set(delivered_ids(limited)) >= seeded:
            break
    assert set(delivered_ids(limited)) >= seeded  # none lost, though the first run's write trimmed one
    assert {rec.status for rec in limited.received} == {200}
    assert max(len(rec.raw_body) for rec in limited.received) <= MIB


def test_stores_of_odd_shapes_load_every_valid_row(rg, rg_logs, tmp_path):
    rows = [{"session_id": f"r{i}", "ended_at": "t", "flushed": True} for i in range(6)]
    lines = [json.dumps(r, separators=(",", ":")) for r in rows]
    huge_row = json.dumps({"session_id": "big", "log_text": "y" * (70 * MIB)})
    rg._USAGE_DIR.mkdir(parents=True)
    with rg._SESSIONS_FILE.open("wb") as f:
        f.write(b"\xef\xbb\xbf" + lines[0].encode() + b"\n")  # saved by a text editor
        f.write(b"x" * (70 * MIB) + b"\n")  # a huge line that is no row
        f.write(lines[1].encode() + b"\r\n")
        f.write(b'{"session_id":"digits","n":' + b"9" * 5000 + b"}\n")  # more digits than int() takes
        f.write(json.dumps({"session_id": "r2", "ended_at": "t", "log_text": "a\u2028b\x85c\x1cd"},
                           ensure_ascii=False).encode() + b"\n")
        f.write(huge_row.encode() + b"\n")  # a valid row, but longer than any line is read
        f.write(("\n".join(lines[3:]) + "\n").encode())
    g = rg.RuntimeGuarder(make_context(tmp_path, enabled=False))
    assert g.initialize() is True
    assert [r["session_id"] for r in g._sessions] == ["r0", "r1", "r2", "r3", "r4", "r5", g._current_id]
    assert g._sessions[2]["log_text"] == "a\u2028b\x85c\x1cd"
    assert not [m for m in rg_messages(rg_logs) if "failed" in m]
    assert rg._SESSIONS_FILE.stat().st_size < 4096  # rewritten without the unreadable lines
    assert [r["session_id"] for r in stored(rg)] == [r["session_id"] for r in g._sessions]


def test_only_the_rows_kept_are_read(rg, rg_logs):
    # 8 GiB of nothing (a sparse hole) before 250 rows: reading stops at the 200th row
    # from the end, long before the byte bound, and says nothing about a cut.
    rg._USAGE_DIR.mkdir(parents=True)
    with rg._SESSIONS_FILE.open("wb") as f:
        f.truncate(1 << 33)
        f.seek(0, os.SEEK_END)
        f.write(b"\n" + "".join(json.dumps({"session_id": str(i)}) + "\n" for i in range(250)).encode())
    g = rg.RuntimeGuarder(None)
    g._load_store()
    assert [r["session_id"] for r in g._sessions] == [str(i) for i in range(50, 250)]
    g._persist()
    assert len(stored(rg)) == 200 and rg_messages(rg_logs) == []


def test_an_interrupt_in_the_shutdown_post_reaches_the_caller(tmp_path):
    done = run_python(f"""
        import pathlib, requests, threading
        import orlune.core.runtime_guard as rg
        rg._USAGE_DIR = pathlib.Path({str(tmp_path)!r}) / "usage"
        rg._SESSIONS_FILE = rg._USAGE_DIR / "sessions.jsonl"
        g = rg.RuntimeGuarder(None)
        g.initialize()
        g._flush_lock.acquire(); g._flush_lock.release()

        def post(*args, **kwargs):
            assert threading.current_thread().name == "orlune-usage-post"
            raise KeyboardInterrupt("from the request")

        requests.post = post
        try:
            g.cleanup()
        except KeyboardInterrupt as exc:
            print("raised:", exc)
        print("flush lock free:", not g._flush_lock.locked())
    """, env={"ORLUNE_SERVER_URL": "http://127.0.0.1:9/api/validate", "ORLUNE_SERVER_API_KEY": API_KEY})
    assert done.returncode == 0
    assert done.stdout.splitlines() == ["raised: from the request", "flush lock free: True"]
    assert done.stderr == ""


def test_a_host_envelope_larger_than_estimated_is_measured_and_fitted(rg, monkeypatch, tmp_path):
    # The host's envelope carries a fifth more than AES-GCM and base64 make: the sealed body is
    # measured, and the batch chosen again, smaller, before anything is sent.
    import orlune.core.payload_crypto as crypto

    plain = crypto.encrypt_payload
    monkeypatch.setattr(crypto, "encrypt_payload",
                        lambda body, key: {**plain(body, key), "pad": "=" * (len(json.dumps(body)) // 5)})
    monkeypatch.setattr(rg, "_MAX_UPLOAD_BYTES", 500_000)
    with Collector(api_key=API_KEY, max_body=500_000) as server:
        point_host_at(monkeypatch, server.url)
        seed(rg, [full_row(i) for i in range(30)])
        g = rg.RuntimeGuarder(None)
        g._load_store()
        g._flush(timeout=5, wait=True)
        [rec] = server.received
        assert rec.status == 200 and 400_000 < len(rec.raw_body) <= 500_000
        sent = [s["session_id"] for s in rec.payload["sessions"]]
        assert sent == [f"full-{i:03d}" for i in range(len(sent))]
