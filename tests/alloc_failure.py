"""Drives one operation with each of its allocations made to fail in turn.

Run as a child interpreter: a fault that crashes ends only the child. `python3 alloc_failure.py
initialize|decorator` prints one JSON summary line; the test asserts on it.
"""

import json
import logging
import pathlib
import sys
import sysconfig
import tempfile
import traceback

import _testcapi

import orlune.core.runtime_guard as rg
from orlune.app import AppContext, ConfigManager

LIMIT = 20000  # far beyond the allocations either operation makes


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def failing(start, operation):
    """operation() with allocation `start` made to fail. Returns (result or exception, reached):
    reached is False once the operation makes fewer than `start` + 1 allocations (the failure
    then comes after it, in the probe that allocates until it has passed that point)."""
    _testcapi.set_nomemory(start, start + 1)
    try:
        try:
            result = operation()
        except BaseException as exc:  # what reaches the caller is what the test judges
            result = exc
        try:
            for _ in range(start + 1):
                bytearray(256)
            reached = True
        except MemoryError:
            reached = False
    finally:
        _testcapi.remove_mem_hooks()
    return result, reached


def ours(error):
    """Whether a wrong error is this module's fault. Raised in the interpreter's own Python code
    it is not: logging builds its record with a list() that, on 3.11, returns with a MemoryError
    set (a SystemError), and os functions report a MemoryError met while they convert a path
    as a TypeError."""
    if not isinstance(error, BaseException) or isinstance(error, MemoryError):
        return False
    frames = traceback.extract_tb(error.__traceback__)
    return not frames or not frames[-1].filename.startswith(sysconfig.get_paths()["stdlib"])


def name_of(value):
    return type(value).__name__ if isinstance(value, BaseException) else "ok"


def check_initialize():
    home = pathlib.Path(tempfile.mkdtemp())
    rg._USAGE_DIR = home / "usage"
    rg._SESSIONS_FILE = rg._USAGE_DIR / "sessions.jsonl"
    rg._USAGE_DIR.mkdir()
    seed = [{"session_id": f"old-{i}", "started_at": "2020-01-01T00:00:00+00:00",
             "ended_at": "2020-01-01T00:01:00+00:00", "duration_s": 60, "ended_cleanly": True,
             "flushed": True} for i in range(3)]
    seed_text = "".join(json.dumps(r, separators=(",", ":")) + "\n" for r in seed)
    handler = Records()
    logger = logging.getLogger(rg.__name__)
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    ctx = AppContext()
    config = ConfigManager(home / "settings.ini", ctx)
    config.set_value("Telemetry", "enabled", False)  # no flush thread: one thread allocates
    ctx.register("config_manager", config)

    faults, outcomes = [], {}
    for start in range(LIMIT):
        rg._SESSIONS_FILE.write_text(seed_text)
        guard = rg.RuntimeGuarder(ctx)
        handler.records.clear()
        result, reached = failing(start, guard.initialize)
        if not reached:
            break
        failed = [r for r in handler.records if r.getMessage().startswith("RuntimeGuarder initialize failed")]
        errors = [r.exc_info[1] for r in handler.records if r.exc_info]
        kind = "failed" if failed else "ok"
        own = guard._current_id
        # Only the host's set_state, after the guarded steps, may fail out of initialize.
        if result is not True and not (isinstance(result, MemoryError) and not failed and own):
            faults.append((start, "initialize returned", repr(result) + "".join(traceback.format_tb(getattr(result, "__traceback__", None)))))
        if any(isinstance(e, SystemError) and ours(e) for e in errors):
            faults.append((start, "SystemError", repr(errors)))
        if own and not any(r.get("session_id") == own for r in guard._sessions):
            faults.append((start, "id without its row", own))
        if not own and not failed:
            faults.append((start, "no id and no failure logged", ""))
        guard.cleanup()
        rows = [json.loads(line) for line in rg._SESSIONS_FILE.read_text().splitlines()]
        ids = [r["session_id"] for r in rows]
        if ids[:3] != [r["session_id"] for r in seed]:
            faults.append((start, "stored rows lost", ids))
        if own and not any(r["session_id"] == own and r["ended_cleanly"] for r in rows):
            faults.append((start, "own row not closed in the store", ids))
        outcomes[kind + ("-with-id" if own else "")] = outcomes.get(kind + ("-with-id" if own else ""), 0) + 1
    else:
        faults.append((LIMIT, "never ran out of allocations", ""))
    return {"attempts": start, "faults": faults, "outcomes": outcomes}


def target(x):
    return x + 1


class Target:
    def __init__(self, x):
        self.x = x


def check_decorator():
    """The first decoration makes the wrapper types: each of those allocations fails once."""
    def decorate_and_call():
        wrapped = rg.runtimeguard("feature")(target)
        cls = rg.runtimeguard()(type("Made", (Target,), {}))
        return wrapped, cls

    faults, outcomes = [], {}
    for start in range(LIMIT):
        result, reached = failing(start, decorate_and_call)
        if not reached:
            break
        kind = name_of(result)
        outcomes[kind] = outcomes.get(kind, 0) + 1
        if kind not in ("ok", "MemoryError"):
            faults.append((start, kind, str(result)))
    else:
        faults.append((LIMIT, "never ran out of allocations", ""))
    wrapped, cls = decorate_and_call()  # and afterwards it works
    if wrapped(1) != 2 or cls(3).x != 3:
        faults.append((start, "broken after the failures", ""))
    return {"attempts": start, "faults": faults, "outcomes": outcomes}


def check_merge():
    """A write that merges with rows another instance wrote meanwhile."""
    home = pathlib.Path(tempfile.mkdtemp())
    rg._USAGE_DIR = home / "usage"
    rg._SESSIONS_FILE = rg._USAGE_DIR / "sessions.jsonl"
    rg._USAGE_DIR.mkdir()

    def line(row):
        return json.dumps(row, separators=(",", ":")) + "\n"

    base = [{"session_id": f"s{i}", "flushed": False, "log_text": "x" * 300} for i in range(20)]
    theirs = "".join(map(line, base + [{"session_id": "theirs", "flushed": False}]))
    faults, outcomes = [], {}
    for start in range(LIMIT):
        rg._SESSIONS_FILE.write_text("".join(map(line, base)))
        guard = rg.RuntimeGuarder(None)
        guard._load_store()
        guard._sessions[0]["flushed"] = True
        guard._sessions.append({"session_id": "mine", "flushed": False})
        rg._SESSIONS_FILE.write_text(theirs)  # the other instance's write
        result, reached = failing(start, guard._persist)
        if not reached:
            break
        kind = name_of(result)
        outcomes[kind] = outcomes.get(kind, 0) + 1
        text = rg._SESSIONS_FILE.read_text()
        ids = [json.loads(x)["session_id"] for x in text.splitlines()]
        if kind == "ok" and ids != [r["session_id"] for r in base] + ["theirs", "mine"]:
            faults.append((start, "merged wrongly", ids))
        if kind == "MemoryError" and text not in (theirs,) and ids[-1] != "mine":
            faults.append((start, "torn store", ids))
        if ours(result):
            faults.append((start, kind, str(result)))
    else:
        faults.append((LIMIT, "never ran out of allocations", ""))
    return {"attempts": start, "faults": faults, "outcomes": outcomes}


if __name__ == "__main__":
    check = {"initialize": check_initialize, "decorator": check_decorator, "merge": check_merge}[sys.argv[1]]
    print(json.dumps(check()))
