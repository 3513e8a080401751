"""`_post_usage` against a real collector on loopback: what arrives, the replies, the skips."""

import inspect
import logging
import platform
import sys
import threading
import types

import pytest

import orlune.auth.validator as validator
from conftest import rg_messages
from orlune.utils.package_info import get_version
from support_upload import (API_KEY, PAYLOAD_KEYS, Abort, Hold, closed_port_url, endpoint,  # noqa: F401
                            module_records, recording_host, reply)

ITEM = {"session_id": "5f0c6c1e-0000-4000-8000-000000000001", "started_at": "2024-05-01T09:00:00+00:00",
        "ended_at": "2024-05-01T09:00:00+00:00", "duration_s": 0, "ended_cleanly": True,
        "log_text": "opened Viewer"}
SKIP_ENDPOINT = ("runtime_guard: usage POST skipped \u2014 validation URL or ORLUNE_SERVER_API_KEY"
                 " / pinned server key is not configured.")
SKIP_MACHINE = "runtime_guard: usage POST skipped \u2014 machine_id unavailable."


def post(rg, sessions=None, timeout=5, **kw):
    return rg._post_usage([dict(ITEM)] if sessions is None else sessions, timeout=timeout, **kw)


def test_what_arrives(rg, rg_logs, monkeypatch, endpoint):
    assert str(inspect.signature(rg._post_usage)) == "(sessions, *, timeout, allow_empty=False)"
    assert rg._post_usage.__doc__ == ("POST an encrypted usage payload.\n\nReturns ``(status_code, "
                                      "json_body)`` or ``(None, None)`` when skipped / failed.")
    assert post(rg) == (200, {"ok": True, "stored": 1})
    rec = endpoint.received[-1]
    assert list(rec.payload) == PAYLOAD_KEYS and list(rec.payload["sessions"][0]) == list(ITEM)
    assert rec.payload == {
        "machine_id": validator._get_machine_id()[:128], "token_id": "tok-1", "plan": "pro",
        "app_version": get_version()[:64], "os": f"{platform.system()} {platform.release()}".strip()[:64],
        "tz": rg._local_tz_offset(), "sessions": [ITEM]}
    names = [name for name, _ in rec.headers]
    assert names.index("Content-Type") < names.index("X-Server-Api-Key")
    assert dict(rec.headers)["Content-Type"] == "application/json"
    assert dict(rec.headers)["X-Server-Api-Key"] == API_KEY
    assert ITEM["session_id"].encode() not in rec.raw_body  # encrypted on the wire
    assert [s["session_id"] for s in endpoint.sessions()] == [ITEM["session_id"]]
    assert rg_messages(rg_logs) == []

    # "os" and "tz" come from the module's own names; a bare origin keeps its host.
    monkeypatch.setattr(rg, "_local_tz_offset", lambda: "+05:45")
    monkeypatch.setattr(rg, "platform", types.SimpleNamespace(system=lambda: " Plan9", release=lambda: ""))
    monkeypatch.setattr(validator, "_DEFAULT_VALIDATION_URL", endpoint.url)
    assert post(rg)[0] == 200
    assert (endpoint.received[-1].payload["os"], endpoint.received[-1].payload["tz"]) == ("Plan9", "+05:45")
    monkeypatch.setattr(rg, "platform", types.SimpleNamespace(system=lambda: "S" * 40, release=lambda: 3.5))
    post(rg)
    assert endpoint.received[-1].payload["os"] == ("S" * 40 + " 3.5")[:64]


@pytest.mark.parametrize("status, body, expected", [
    (200, b"[1, 2]", (200, None)), (200, b"not json", (200, None)),
    (500, b'{"error": "down"}', (500, {"error": "down"})), (503, b"<html>", (503, None)),
])
def test_replies(rg, rg_logs, endpoint, status, body, expected):
    endpoint.reply_override = reply(status, body)
    assert post(rg) == expected
    logged = [] if status == 200 else [f"runtime_guard: usage POST HTTP {status} body={expected[1]}"]
    assert rg_messages(rg_logs, logging.DEBUG) == logged


def test_upload_failures(rg, rg_logs, monkeypatch, endpoint):
    stall = Hold()
    endpoint.reply_override = stall
    try:
        assert post(rg, timeout=0.2) == (None, None)  # the server stalls past the timeout
        assert stall.entered.wait(10)  # the server had the request: nothing else was at fault
    finally:
        stall.release.set()
    # The stalled request is recorded once the server thread, released, decides its reply.
    assert endpoint.wait_for(1, timeout=10)
    monkeypatch.setattr(validator, "_DEFAULT_VALIDATION_URL", closed_port_url())
    assert post(rg) == (None, None)
    monkeypatch.setitem(sys.modules, "requests", None)  # imported at call time
    assert post(rg) == (None, None)
    monkeypatch.delitem(sys.modules, "requests")
    crypto = types.ModuleType("orlune.core.payload_crypto")
    crypto.encrypt_payload = lambda body, key: 1 / 0
    monkeypatch.setitem(sys.modules, "orlune.core.payload_crypto", crypto)
    assert post(rg) == (None, None)
    # What these calls logged, on this thread: a worker left over from an earlier test may
    # still be logging on its own.
    records = [r for r in module_records(rg_logs) if r.thread == threading.get_ident()]
    assert [r.getMessage() for r in records] == ["Lightweight usage POST failed"] * 4
    assert all(r.levelno == logging.DEBUG and r.exc_info[1] is not None for r in records)

    def abort(body, key):
        raise Abort

    crypto.encrypt_payload = abort
    with pytest.raises(Abort):
        post(rg)
    # Failures before the upload step are the caller's.
    monkeypatch.setattr(rg, "_resolve_endpoint", lambda: "url")
    with pytest.raises(ValueError):
        post(rg)
    assert stall.calls == 1 and len(endpoint.received) == 1


def test_one_time_warnings(rg, rg_logs, monkeypatch, endpoint):
    monkeypatch.setattr(rg, "_skip_endpoint_warned", False)
    monkeypatch.setattr(rg, "_skip_machine_warned", False)
    monkeypatch.setattr(validator, "_SERVER_API_KEY", "")
    assert post(rg) == post(rg) == (None, None)
    assert rg_messages(rg_logs, logging.WARNING) == [SKIP_ENDPOINT]
    assert rg._skip_machine_warned is False
    monkeypatch.setattr(validator, "_SERVER_API_KEY", API_KEY)
    monkeypatch.setattr(validator, "_get_machine_id", lambda: "")
    assert post(rg) == post(rg) == (None, None)
    assert rg_messages(rg_logs, logging.WARNING) == [SKIP_ENDPOINT, SKIP_MACHINE]
    monkeypatch.setattr(validator, "_get_machine_id", lambda: "m-2")
    assert post(rg)[0] == 200 and len(endpoint.received) == 1  # uploads resume once configured
    monkeypatch.setattr(rg, "_skip_endpoint_warned", False)  # a host may reset a flag
    monkeypatch.setattr(validator, "_DEFAULT_VALIDATION_URL", "")
    post(rg)
    assert rg_messages(rg_logs, logging.WARNING) == [SKIP_ENDPOINT, SKIP_MACHINE, SKIP_ENDPOINT]


def test_checks_stop_before_later_resolvers(rg, rg_logs, monkeypatch, recording_host, endpoint):
    reads, install = recording_host
    monkeypatch.setattr(rg, "_auth_ready", False)
    for flag in ("_skip_endpoint_warned", "_skip_machine_warned"):
        monkeypatch.setattr(rg, flag, False)
    install(key="")
    for bad_call in (lambda: rg._post_usage([ITEM], 5), lambda: rg._post_usage([ITEM]),
                     lambda: rg._post_usage(timeout=5), lambda: post(rg, x=1)):
        with pytest.raises(TypeError):
            bad_call()
    monkeypatch.setenv("ORLUNE_TELEMETRY", "off")
    assert post(rg) == (None, None)
    monkeypatch.delenv("ORLUNE_TELEMETRY")
    assert post(rg, sessions=[]) == (None, None)
    assert reads == [] and rg._auth_ready is False and rg_messages(rg_logs) == []

    assert post(rg) == (None, None)  # endpoint not configured: no identity is read
    assert reads == ["_DEFAULT_VALIDATION_URL", "_SERVER_API_KEY"]
    del reads[:]
    install(machine="")
    assert post(rg) == (None, None)  # no machine id: account and version are not read
    assert reads == ["_DEFAULT_VALIDATION_URL", "_SERVER_API_KEY", "_get_machine_id"]

    install(url=endpoint.url, token=("", ""), version=None)  # empty account fields still upload
    assert rg._post_usage(sessions=[], timeout=5, allow_empty=True) == (200, {"ok": True, "stored": 0})
    payload = endpoint.received[-1].payload
    assert (payload["token_id"], payload["plan"], payload["app_version"], payload["sessions"]) == (
        "", "free", "None", [])


def test_readme_lists_every_field_that_leaves(rg, endpoint):
    """The README's "What leaves the machine" tables name every payload and item field a real
    upload (from the component's flush, with log text) carries."""
    import pathlib
    import re

    readme = (pathlib.Path(__file__).parents[1] / "README.md").read_text(encoding="utf-8")
    section = readme.split("## What leaves the machine", 1)[1].split("\n## ", 1)[0]
    listed = set(re.findall(r"^\| `(\w+)`(?:, `(\w+)`)? \|", section, re.M))
    listed = {name for pair in listed for name in pair if name}
    guard = rg.RuntimeGuarder(None)
    guard._sessions = [{**ITEM, "flushed": False}]
    guard._flush(timeout=5, wait=True)
    payload = endpoint.received[-1].payload
    assert set(payload) | set(payload["sessions"][0]) <= listed
    assert "X-Server-Api-Key" in section and "opted_out" in section
