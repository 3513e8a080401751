"""The session store file: what loads, what is written, and that a failed write loses nothing."""

import builtins
import json
import os
import signal
import stat
import time

import pytest

from conftest import rg_messages
from support_host import make_context
from support_hostile import lock_held_elsewhere  # noqa: F401

AWKWARD_ROWS = [
    {"session_id": "a", "log_text": "é ß 中 😀 \ud800 \x00\x1f\x7f \u2028", "n": 1e16, "f": 0.1,
     "big": 2**100, "neg": -0.0, "nested": {"k": [1, None, True, {"z": "\n"}]}},
    {"session_id": "b", "inf": float("inf"), "nan": float("nan"), "x": 1.5e-300},
    {"zeta": 1, "session_id": "c", "alpha": 2},  # key order is kept, not sorted
]


def make(rg):
    return rg.RuntimeGuarder(None)


def write_lines(rg, *lines, raw=None):
    rg._USAGE_DIR.mkdir(parents=True, exist_ok=True)
    if raw is not None:
        rg._SESSIONS_FILE.write_bytes(raw)
    else:
        rg._SESSIONS_FILE.write_text("".join(line + "\n" for line in lines))


def test_written_bytes_equal_json_dumps(rg):
    g = make(rg)
    g._sessions = [dict(r) for r in AWKWARD_ROWS]
    g._persist()
    expected = "".join(json.dumps(r, separators=(",", ":")) + "\n" for r in AWKWARD_ROWS)
    data = rg._SESSIONS_FILE.read_bytes()
    assert data == expected.encode("ascii")
    g._load_store()
    assert json.dumps(g._sessions) == json.dumps(AWKWARD_ROWS)


def test_empty_store_is_empty_file_and_one_row_has_one_newline(rg):
    g = make(rg)
    g._persist()
    assert rg._SESSIONS_FILE.read_bytes() == b""
    g._sessions = [{"session_id": "x"}]
    g._persist()
    assert rg._SESSIONS_FILE.read_bytes() == b'{"session_id":"x"}\n'
    assert not rg._SESSIONS_FILE.with_suffix(".tmp").exists()


def test_load_skips_what_is_not_a_row(rg):
    write_lines(
        rg,
        '{"session_id":"1","extra":{"kept":true}}',
        "",
        "   ",
        "{not json",
        "[1,2]",
        "42",
        '"text"',
        '{"no_id":1}',
        '{"session_id":""}',
        '{"session_id":null}',
        '  {"session_id":"2"}  ',
        "[" * 100000,  # deeper than the parser can go
    )
    g = make(rg)
    g._load_store()
    assert g._sessions == [{"session_id": "1", "extra": {"kept": True}}, {"session_id": "2"}]


def test_load_accepts_any_line_ending(rg):
    write_lines(rg, raw=b'{"session_id":"1"}\r\n{"session_id":"2"}\r{"session_id":"3"}')
    g = make(rg)
    g._load_store()
    assert [r["session_id"] for r in g._sessions] == ["1", "2", "3"]


def test_invalid_utf8_line_is_skipped_not_fatal(rg):
    write_lines(rg, raw=b'{"session_id":"1"}\n{"session_id":"\xff\xfe"}\n{"session_id":"\xc3\xa9"}\n')
    g = make(rg)
    g._load_store()
    assert g._sessions == [{"session_id": "1"}, {"session_id": "é"}]


def test_missing_or_unreadable_store_loads_empty(rg):
    g = make(rg)
    g._sessions = [{"session_id": "stale"}]
    g._load_store()
    assert g._sessions == []
    rg._SESSIONS_FILE.mkdir(parents=True)  # exists, but reading it raises OSError
    g._load_store()
    assert g._sessions == []


def test_two_hundred_row_rule(rg):
    write_lines(rg, *(json.dumps({"session_id": str(i)}) for i in range(250)))
    g = make(rg)
    g._load_store()
    assert [r["session_id"] for r in g._sessions] == [str(i) for i in range(50, 250)]
    g._sessions.append({"session_id": "new"})
    g._persist()
    assert len(g._sessions) == 201  # memory is not shortened
    lines = rg._SESSIONS_FILE.read_text().splitlines()
    assert len(lines) == 200 and json.loads(lines[0])["session_id"] == "51"
    assert json.loads(lines[-1])["session_id"] == "new"


@pytest.mark.posix
def test_store_permissions(rg, monkeypatch):
    modes = []

    def open_noting_mode(file, mode="r", *args):
        f = builtins.open(file, mode, *args)
        modes.append(stat.S_IMODE(os.fstat(f.fileno()).st_mode))
        return f

    umask = os.umask(0o022)
    try:
        with monkeypatch.context() as patched:
            patched.setattr(rg, "open", open_noting_mode, raising=False)
            make(rg)._persist()  # a new temporary file is owner-only from its creation
    finally:
        os.umask(umask)
    assert modes == [0o600]
    rg._SESSIONS_FILE.unlink()
    rg._USAGE_DIR.rmdir()
    g = make(rg)
    g._sessions = [{"session_id": "x"}]
    tmp = rg._SESSIONS_FILE.with_suffix(".tmp")
    rg._USAGE_DIR.mkdir(parents=True)
    os.chmod(rg._USAGE_DIR, 0o755)
    tmp.write_text("left over")
    os.chmod(tmp, 0o644)
    g._persist()
    assert stat.S_IMODE(rg._SESSIONS_FILE.stat().st_mode) == 0o600
    assert not tmp.exists()
    assert stat.S_IMODE(rg._USAGE_DIR.stat().st_mode) == 0o755  # an existing directory is left alone
    rg._SESSIONS_FILE.unlink()
    rg._USAGE_DIR.rmdir()
    g._persist()
    assert stat.S_IMODE(rg._USAGE_DIR.stat().st_mode) == 0o700


def test_failed_write_keeps_old_store(rg, rg_logs):
    g = make(rg)
    g._sessions = [{"session_id": "old"}]
    g._persist()
    # Make the rename fail: the store's name is taken by a non-empty directory.
    rg._SESSIONS_FILE.unlink()
    rg._SESSIONS_FILE.mkdir()
    (rg._SESSIONS_FILE / "keep").write_text("x")
    g._sessions = [{"session_id": "new"}]
    g._persist()
    assert (rg._SESSIONS_FILE / "keep").read_text() == "x"
    [msg] = rg_messages(rg_logs)
    assert msg.startswith("Could not persist usage store: [Errno 21] Is a directory:")
    assert g._sessions == [{"session_id": "new"}]


def test_failed_mkdir_is_logged_not_raised(rg, rg_logs, tmp_path, monkeypatch):
    blocker = tmp_path / "file"
    blocker.write_text("")
    monkeypatch.setattr(rg, "_USAGE_DIR", blocker / "usage")
    monkeypatch.setattr(rg, "_SESSIONS_FILE", blocker / "usage" / "sessions.jsonl")
    g = make(rg)
    g._persist()
    [msg] = rg_messages(rg_logs)
    assert msg.startswith("Could not persist usage store: [Errno 20] Not a directory")


def test_non_json_row_raises_like_json(rg):
    g = make(rg)
    g._sessions = [{"session_id": "x", "when": object()}]
    with pytest.raises(TypeError):
        g._persist()
    assert not g._lock.locked()


def test_failed_replace_keeps_old_store(rg, rg_logs, monkeypatch):
    g = make(rg)
    g._sessions = [{"session_id": "old"}]
    g._persist()

    def refuse(src, dst):
        raise PermissionError(13, "Permission denied", str(src))

    monkeypatch.setattr(os, "replace", refuse)
    g._sessions = [{"session_id": "new"}]
    g._persist()
    assert rg._SESSIONS_FILE.read_bytes() == b'{"session_id":"old"}\n'
    assert rg_messages(rg_logs) == [
        f"Could not persist usage store: [Errno 13] Permission denied: '{rg._SESSIONS_FILE.with_suffix('.tmp')}'"]
    assert g._sessions == [{"session_id": "new"}]


class Interrupted(BaseException):
    pass


@pytest.mark.posix
def test_store_lock_is_honoured_and_its_wait_interruptible(rg, rg_logs, lock_held_elsewhere):  # noqa: F811
    g = make(rg)
    g._sessions = [{"session_id": "x"}]

    def interrupt(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(Interrupted):  # a signal while waiting is not swallowed
            g._persist()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert not g._lock.locked() and rg_messages(rg_logs) == []

    g._persist()  # the wait is bounded; the write is given up, not forced
    [msg] = rg_messages(rg_logs)
    assert msg.startswith("Could not persist usage store: [Errno 11]") and msg.endswith("sessions.lock'")
    assert not rg._SESSIONS_FILE.exists()


@pytest.mark.posix
def test_start_up_waits_once_for_a_hung_store_lock(rg, rg_logs, tmp_path, lock_held_elsewhere):  # noqa: F811
    guard = rg.RuntimeGuarder(make_context(tmp_path, enabled=False))
    start = time.monotonic()
    assert guard.initialize() is True
    assert time.monotonic() - start < 2.0 + 1.5  # the load and the first write shared one wait (6 s)
    assert rg_messages(rg_logs)[-1].startswith("Could not persist usage store: [Errno 11]")


def test_store_read_as_python_would(rg, monkeypatch):
    write_lines(rg, '{"session_id":"1"}')

    class OddPath(type(rg._SESSIONS_FILE)):
        result = None

        def read_bytes(self):
            return self.result

    odd = OddPath(rg._SESSIONS_FILE)
    monkeypatch.setattr(rg, "_SESSIONS_FILE", odd)
    g = make(rg)
    for wrong in ('{"session_id":"1"}\n', 42, None):
        OddPath.result = wrong
        with pytest.raises(TypeError, match="bytes-like"):
            g._load_store()
        assert g._sessions == []
    OddPath.result = bytearray(b'{"session_id":"1"}\n')
    g._load_store()
    assert g._sessions == [{"session_id": "1"}]

    # A failed direct load does not make later writes silently drop the rows in memory.
    fresh = make(rg)
    OddPath.result = None
    with pytest.raises(TypeError):
        fresh._load_store()
    fresh._sessions.append({"session_id": "2"})
    fresh._persist()
    assert [json.loads(line)["session_id"] for line in odd.read_text().splitlines()] == ["1", "2"]


def row_line(i):
    return json.dumps({"session_id": f"s{i:03d}", "ended_at": "t", "flushed": True}, separators=(",", ":"))


def test_an_absurd_store_is_read_from_its_tail(rg, rg_logs, tmp_path):
    # A 1 GiB store, all but its last rows a hole of NUL bytes (sparse: nothing on disk): only
    # the default bound is read, the rows at the end load, and the first write leaves them alone.
    tail = [row_line(i) for i in range(5)]
    write_lines(rg)
    with rg._SESSIONS_FILE.open("r+b") as f:
        f.truncate(1 << 30)
        f.seek(0, os.SEEK_END)
        f.write(b"\n" + "".join(line + "\n" for line in tail).encode())
    assert rg._MAX_STORE_BYTES == 256 * 1024 * 1024
    guard = rg.RuntimeGuarder(make_context(tmp_path, enabled=False))
    assert guard.initialize() is True
    assert [r["session_id"] for r in guard._sessions][:5] == [f"s{i:03d}" for i in range(5)]
    assert rg._SESSIONS_FILE.stat().st_size < 4096
    assert rg._SESSIONS_FILE.read_text().splitlines()[:5] == tail
    cut = [m for m in rg_messages(rg_logs) if m.startswith("Usage store is larger than")]
    assert cut == [f"Usage store is larger than {256 << 20} bytes; the lines before its last "
                   f"{256 << 20} bytes were not read"]


def test_store_bound_keeps_whole_lines_of_the_last_bytes(rg, rg_logs, monkeypatch):
    lines = [row_line(i) for i in range(10)]
    size = len(lines[0]) + 1  # every line is as long
    for ending in ("\n", "\r\n"):
        step = len(lines[0]) + len(ending)
        write_lines(rg, raw="".join(line + ending for line in lines).encode())
        for limit, first in ((3 * step, 7), (3 * step + 1, 7), (3 * step - 1, 8), (10 * step, 0), (0, 10)):
            monkeypatch.setattr(rg, "_MAX_STORE_BYTES", limit)  # read when used
            g = make(rg)
            g._load_store()
            assert [r["session_id"] for r in g._sessions] == [f"s{i:03d}" for i in range(first, 10)], (ending, limit)

    # The rewrite keeps what was read; the lines before the bound go, as unreadable lines do.
    write_lines(rg, *lines)
    monkeypatch.setattr(rg, "_MAX_STORE_BYTES", 4 * size - 1)
    g = make(rg)
    g._load_store()
    g._persist()
    assert rg._SESSIONS_FILE.read_text().splitlines() == lines[-3:]


def test_a_write_merges_with_a_grown_store_through_the_same_bound(rg, rg_logs, monkeypatch):
    # Another process grew the store after this one read it: the merge reads its tail only.
    lines = [row_line(i) for i in range(3)]
    write_lines(rg, *lines)
    g = make(rg)
    g._load_store()
    monkeypatch.setattr(rg, "_MAX_STORE_BYTES", 4 * (len(lines[0]) + 1))
    grown = ["x" * 5000] + lines + [row_line(i) for i in range(3, 6)]
    write_lines(rg, *grown)
    g._sessions.append({"session_id": "mine"})
    g._persist()
    assert [json.loads(line)["session_id"] for line in rg._SESSIONS_FILE.read_text().splitlines()] == [
        "s002", "s003", "s004", "s005", "mine"]
    assert sum(m.startswith("Usage store is larger than") for m in rg_messages(rg_logs)) == 1

    # A substitute path is read through its own read_bytes, and bounded the same way.

    class OwnPath(type(rg._SESSIONS_FILE)):
        def read_bytes(self):
            return super().read_bytes()

    monkeypatch.setattr(rg, "_SESSIONS_FILE", OwnPath(rg._SESSIONS_FILE))
    write_lines(rg, *grown)
    g._load_store()
    assert [r["session_id"] for r in g._sessions] == ["s002", "s003", "s004", "s005"]


def test_store_files_are_opened_as_python_code_would(rg, monkeypatch):
    # The module's own `open` (a global, else its builtins) serves every read and write, and a
    # file that writes and reads in small steps still gives a whole store.
    import builtins

    opened = []

    class Trickling:
        def __init__(self, f):
            self.f = f

        def write(self, data):
            return self.f.write(memoryview(data)[:1000])

        def readinto(self, buffer):
            return self.f.readinto(memoryview(buffer)[:777])

        def __getattr__(self, name):
            return getattr(self.f, name)

    def trickling_open(path, mode="r", *args):
        opened.append((path if isinstance(path, int) else os.path.basename(path), mode))
        return Trickling(builtins.open(path, mode, *args))

    rows = [{"session_id": f"s{i}", "log_text": "x" * (3000 + i)} for i in range(5)]
    monkeypatch.setattr(rg, "open", trickling_open, raising=False)
    g = make(rg)
    g._sessions = [dict(r) for r in rows]
    g._persist()
    assert [mode for path, mode in opened if isinstance(path, int)] == ["wb"]  # the temporary file
    assert rg._SESSIONS_FILE.read_text().splitlines() == [json.dumps(r, separators=(",", ":")) for r in rows]
    opened.clear()
    g._load_store()
    assert opened == [("sessions.jsonl", "rb")] and g._sessions == rows
