"""A local collector with the host pointed at it, and tools to hold or record what passes."""

import socket
import sys
import threading
import types

import pytest

import orlune.auth.validator as validator
from orlune.auth.storage import save_token
from orlune.collector import Collector

API_KEY = "upload-test-key"
PAYLOAD_KEYS = ["machine_id", "token_id", "plan", "app_version", "os", "tz", "sessions"]
RG_LOGGER = "orlune.core.runtime_guard"


class Abort(BaseException):
    """Not an ordinary exception: nothing in the module may swallow it."""


def point_host_at(monkeypatch, base_url):
    """The host's settings name `base_url` as the server; a signed-in "pro" account."""
    monkeypatch.setattr(validator, "_DEFAULT_VALIDATION_URL", base_url + "/api/validate")
    monkeypatch.setattr(validator, "_SERVER_API_KEY", API_KEY)
    save_token("tok-1", "pro")


@pytest.fixture
def endpoint(monkeypatch):
    """A running collector; the host's settings point at it; a signed-in "pro" account."""
    with Collector(api_key=API_KEY) as c:
        point_host_at(monkeypatch, c.url)
        yield c


def closed_port_url():
    """A loopback URL nobody listens on: bind a port, note it, close it."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/api/validate"


def row(n, **kw):
    """A closed, pending session row with id "s-<n>"."""
    return {"session_id": f"s-{n}", "started_at": "2024-05-01T09:00:00+00:00",
            "ended_at": "2024-05-01T09:10:00+00:00", "duration_s": 600, "ended_cleanly": True,
            "flushed": False, **kw}


def reply(status, body):
    return lambda received: (status, body, 0)


class Hold:
    """A reply_override that keeps each request in flight until `release` is set (bounded)."""

    def __init__(self):
        self.entered, self.release, self.calls = threading.Event(), threading.Event(), 0

    def __call__(self, received):
        self.calls += 1
        self.entered.set()
        self.release.wait(10)
        return 200, b'{"ok": true}', 0


def module_records(caplog):
    return [r for r in caplog.records if r.name == RG_LOGGER]


class RecordingModule(types.ModuleType):
    """A stand-in host module that records every public attribute read."""

    def __init__(self, name, reads, **attrs):
        super().__init__(name)
        object.__setattr__(self, "_reads", reads)
        for key, value in attrs.items():
            object.__setattr__(self, key, value)

    def __getattribute__(self, key):
        if not key.startswith("__") and key != "_reads":
            object.__getattribute__(self, "_reads").append(key)
        return object.__getattribute__(self, key)


@pytest.fixture
def recording_host(monkeypatch):
    """(reads, install): install(**values) puts recording auth/plan/token/version modules in
    sys.modules; every attribute the module reads from them is appended to `reads`."""
    reads = []

    def install(url="http://127.0.0.1:9/api/validate", key=API_KEY, machine="m-1",
                token=("tok-r", "team"), version="9.9"):
        token_obj = types.SimpleNamespace(token_id=token[0], token_type=token[1])
        for name, attrs in {
            "orlune.auth.validator": dict(_DEFAULT_VALIDATION_URL=url, _SERVER_API_KEY=key,
                                          _get_machine_id=lambda: machine),
            "orlune.auth.plans": dict(plan_label=lambda t: t),
            "orlune.auth.storage": dict(load_token=lambda: token_obj),
            "orlune.utils.package_info": dict(get_version=lambda: version),
        }.items():
            monkeypatch.setitem(sys.modules, name, RecordingModule(name, reads, **attrs))

    return reads, install
