import json
import logging
import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
import requests

from orlune.collector import Collector
from orlune.core.payload_crypto import encrypt_payload

ROOT = Path(__file__).resolve().parents[2]
KEY = "collector-test-key"


def session(i, **extra):
    return {"session_id": f"sess{i:04d}-aaaa-bbbb", "started_at": "2024-05-01T09:00:00Z",
            "ended_at": "2024-05-01T09:30:00Z", "duration_s": 1800 + i,
            "ended_cleanly": i % 2 == 0, **extra}


def payload(*sessions):
    return {"machine_id": "m" * 64, "token_id": "tok-1", "plan": "pro", "app_version": "0.1.0",
            "os": "Linux 6.1", "tz": "Europe/Berlin", "sessions": list(sessions)}


def post(collector, body, key=KEY, **kw):
    data = body if isinstance(body, bytes) else json.dumps(body).encode()
    return requests.post(collector.usage_url, data=data, timeout=kw.pop("timeout", 5),
                         headers={"X-Server-Api-Key": key, "Content-Type": "application/json"}, **kw)


@pytest.fixture
def collector():
    with Collector(api_key=KEY) as c:
        yield c


def test_valid_upload_is_stored(collector):
    body = payload(session(0, log_text="boot\nready ✓"), session(1))
    r = post(collector, encrypt_payload(body, KEY))
    assert (r.status_code, r.json()) == (200, {"ok": True, "stored": 2})
    rows = collector.sessions()
    assert [row["session_id"] for row in rows] == ["sess0000-aaaa-bbbb", "sess0001-aaaa-bbbb"]
    assert rows[0]["log_text"] == "boot\nready ✓" and rows[1]["log_text"] is None
    assert rows[0]["ended_cleanly"] is True and rows[1]["ended_cleanly"] is False
    assert rows[1]["duration_s"] == 1801 and rows[1]["tz"] == "Europe/Berlin"
    rec = collector.received[-1]
    assert rec.status == 200 and rec.payload == body and rec.envelope["v"] == 1


def test_headers_recorded_in_wire_order(collector):
    body = json.dumps(encrypt_payload(payload(session(0)), KEY)).encode()
    with socket.create_connection(("127.0.0.1", collector.port), timeout=5) as s:
        s.sendall(b"POST /api/usage HTTP/1.1\r\nHost: x\r\nX-Trace: 1\r\n"
                  b"X-Server-Api-Key: " + KEY.encode() + b"\r\nX-Trace: 2\r\n"
                  b"Connection: close\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)
        reply = b"".join(iter(lambda: s.recv(4096), b""))
    assert reply.startswith(b"HTTP/1.1 200")
    assert collector.received[-1].headers == [
        ("Host", "x"), ("X-Trace", "1"), ("X-Server-Api-Key", KEY), ("X-Trace", "2"),
        ("Connection", "close"), ("Content-Length", str(len(body)))]
    assert collector.received[-1].raw_body == body


def test_rejected_requests_store_nothing(collector):
    good = encrypt_payload(payload(session(0)), KEY)
    tampered = dict(good, ct=good["ct"][:-4] + ("AAAA" if good["ct"][-4:] != "AAAA" else "BBBB"))
    cases = [
        (post(collector, good, key="wrong"), 401),
        (requests.post(collector.usage_url, json=good, timeout=5), 401),
        (post(collector, tampered), 400),
        (post(collector, encrypt_payload(payload(session(0)), "other-key")), 400),
        (post(collector, b"not json"), 400),
        (requests.get(collector.usage_url, timeout=5), 405),
        (requests.post(collector.url + "/api/other", json=good, timeout=5), 404),
    ]
    for response, status in cases:
        assert response.status_code == status and "error" in response.json()
    assert [r.status for r in collector.received] == [s for _, s in cases]
    assert collector.received[2].envelope == tampered and collector.received[2].payload is None
    assert collector.sessions() == []


@pytest.mark.parametrize("change", [
    lambda p: p.pop("tz"),
    lambda p: p.update(sessions={}),
    lambda p: p["sessions"].append("x"),
    lambda p: p["sessions"][1].update(duration_s=True),
    lambda p: p["sessions"][1].update(duration_s=-1),
    lambda p: p["sessions"][1].update(ended_cleanly="yes"),
    lambda p: p["sessions"][1].update(log_text=5),
])
def test_malformed_payload_rejected_whole(collector, change):
    body = payload(session(0), session(1))  # the valid first session must not be stored either
    change(body)
    r = post(collector, encrypt_payload(body, KEY))
    assert r.status_code == 422 and r.json()["error"]
    assert collector.sessions() == []


def test_reply_override_answers_verbatim_and_stores_nothing(collector):
    seen = []
    replies = iter([(500, b'{"error":"boom"}', 0), (200, b"<html>", 0), (200, b"[1,2]", 0)])
    collector.reply_override = lambda rec: (seen.append(rec.payload), next(replies))[1]
    body = payload(session(0))
    got = [post(collector, encrypt_payload(body, KEY)) for _ in range(3)]
    assert [(r.status_code, r.content) for r in got] == [
        (500, b'{"error":"boom"}'), (200, b"<html>"), (200, b"[1,2]")]
    assert got[1].headers["Content-Type"] == "application/json"
    assert seen == [body] * 3 and collector.sessions() == []


def test_stalled_reply_does_not_break_server_or_stop(caplog):
    caplog.set_level(logging.DEBUG, logger="orlune.collector")
    c = Collector(api_key=KEY).start()
    try:
        c.reply_override = lambda rec: (200, b"{}", 30.0)
        with pytest.raises(requests.Timeout):
            post(c, encrypt_payload(payload(session(0)), KEY), timeout=0.3)
        c.reply_override = None
        assert post(c, encrypt_payload(payload(session(1)), KEY)).status_code == 200
        assert len(c.sessions()) == 1
    finally:
        started = time.monotonic()
        c.stop()
    assert time.monotonic() - started < 3
    assert c.wait_for(2, timeout=3)  # the stalled handler wakes on stop and finishes
    time.sleep(0.2)
    assert not [r for r in caplog.records if r.levelno >= logging.ERROR]
    assert any("POST /api/usage -> 200 (1 sessions)" in r.getMessage() for r in caplog.records)


def cli(*args, **kw):
    return subprocess.run([sys.executable, "-m", "orlune.collector", *args], cwd=ROOT,
                          capture_output=True, text=True, timeout=30, **kw)


@pytest.mark.posix
def test_cli_serve_then_show(tmp_path):
    db = tmp_path / "usage.db"
    env = {k: v for k, v in os.environ.items() if k != "ORLUNE_SERVER_API_KEY"}
    assert cli("serve", "--port", "0", env=env).returncode == 2  # no key, no server
    proc = subprocess.Popen(
        [sys.executable, "-m", "orlune.collector", "serve", "--port", "0", "--db", str(db)],
        cwd=ROOT, env={**env, "ORLUNE_SERVER_API_KEY": KEY},
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = re.search(r"http://127\.0\.0\.1:\d+", proc.stdout.readline()).group(0)
        log = "first line\nsecond line with a fairly long tail of text"
        r = requests.post(url + "/api/usage", json=encrypt_payload(
            payload(session(0, log_text=log), session(1)), KEY),
            headers={"X-Server-Api-Key": KEY}, timeout=5)
        assert r.json() == {"ok": True, "stored": 2}
    finally:
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0, err
    assert "POST /api/usage -> 200 (2 sessions)" in err and "Traceback" not in err

    lines = cli("show", "--uploads", "--db", str(db)).stdout.splitlines()
    assert lines[0].split() == ["id", "start", "end", "duration", "clean", "log"]
    assert lines[1].split()[:5] == ["sess0000", "2024-05-01T09:00:00Z", "2024-05-01T09:30:00Z",
                                    "0:30:00", "yes"]
    assert lines[1].endswith("  first line\\nsecond line with a fairly lo...")
    assert lines[2].split() == ["sess0001", "2024-05-01T09:00:00Z", "2024-05-01T09:30:00Z",
                                "0:30:01", "no"]

    with Collector(api_key=KEY, db_path=str(tmp_path / "empty.db")):
        pass
    assert cli("show", "--db", str(tmp_path / "empty.db")).stdout.strip() == "(no sessions)"
    missing = cli("show", "--db", str(tmp_path / "missing.db"))
    assert missing.returncode == 1 and not (tmp_path / "missing.db").exists()


def upload(collector, *sessions):
    assert post(collector, encrypt_payload(payload(*sessions), KEY)).json()["ok"]


def test_cli_show_folds_uploads_into_sessions(tmp_path):
    db = tmp_path / "usage.db"
    opened = dict(ended_at="", duration_s=0, ended_cleanly=False)
    with Collector(api_key=KEY, db_path=str(db)) as c:
        upload(c, session(0, **opened), session(1, **opened))   # two start-ups
        upload(c, session(0, log_text="line one\nline two"))    # one clean close
    listing = cli("show", "--db", str(db)).stdout.splitlines()
    assert listing[0].split()[:3] == ["session", "state", "started"]
    closed = listing[1].split()  # its latest upload: closed, with the duration it brought
    assert closed[:7] == ["sess0000", "closed", "cleanly", "2024-05-01", "09:00:00", "0:30:00", "0.1.0"]
    assert closed[-1] == "2"
    assert listing[2].split()[:6] == ["sess0001", "open", "or", "not", "cleanly", "ended"]
    assert listing[2].split()[-1] == "1"
    assert listing[3] == "2 sessions: 1 closed cleanly, 1 open or not cleanly ended; 3 uploads"
    last = cli("show", "--db", str(db), "--last", "1").stdout.splitlines()
    assert len(last) == 3 and last[1].startswith("sess0001") and last[2] == "last 1 shown of " + listing[3]

    as_json = json.loads(cli("show", "--db", str(db), "--json").stdout)
    assert [(s["session_id"], s["state"], s["uploads"]) for s in as_json] == [
        ("sess0000-aaaa-bbbb", "closed cleanly", 2), ("sess0001-aaaa-bbbb", "open or not cleanly ended", 1)]
    assert as_json[0]["log_text"] == "line one\nline two" and "history" not in as_json[0]

    full = cli("show", "--db", str(db), "--full", "sess0000").stdout
    assert "state     closed cleanly" in full and "  | line one\n  | line two" in full
    assert full.count("received ") == 2
    history = json.loads(cli("show", "--db", str(db), "--full", "sess0000", "--json").stdout)["history"]
    assert [h["ended_cleanly"] for h in history] == [False, True]
    uploads = cli("show", "--db", str(db), "--uploads", "--last", "1").stdout.splitlines()
    assert len(uploads) == 2 and uploads[1].startswith("sess0000")


def test_cli_errors_are_one_clear_line(tmp_path):
    not_sqlite = tmp_path / "notes.db"
    not_sqlite.write_text("not a database\n" * 100)
    with Collector(api_key=KEY, db_path=str(tmp_path / "usage.db")) as c:
        upload(c, session(0), session(2))
    cases = [
        (("serve", "--port", "70000", "--api-key", "k"), "--port must be between 0 and 65535"),
        (("serve", "--port", "0", "--api-key", "k", "--db", str(tmp_path)), str(tmp_path)),
        (("serve", "--port", "0", "--api-key", "k", "--db", str(not_sqlite)),
         f"{not_sqlite} is not an SQLite database"),
        (("show", "--db", str(not_sqlite)), f"{not_sqlite} is not an SQLite database"),
        (("show", "--db", str(tmp_path / "usage.db"), "--full", "sess"), "2 sessions match"),
        (("show", "--db", str(tmp_path / "usage.db"), "--full", "nope"), "no session 'nope'"),
    ]
    for args, wanted in cases:
        proc = cli(*args)
        assert proc.returncode != 0 and proc.stdout == "", args
        assert proc.stderr.count("\n") == 1 and wanted in proc.stderr, (args, proc.stderr)
    assert not_sqlite.read_text().startswith("not a database")  # never turned into a database
