"""One application instance in its own process, for the tests that share a store between
processes. HOME and the server settings come from the environment.

    instance_worker.py rounds N     wait for a line on stdin, then run N sessions back to back
    instance_worker.py until-eof N  run sessions until stdin closes (at most N)
    instance_worker.py writer       one session that rewrites its own row until killed

Each session: a new component, initialize, a few writes of the store, cleanup. The report (one
JSON line) gives the session ids and the stale rows each session saw.
"""

import json
import pathlib
import sys
import tempfile
import threading

from orlune.app import AppContext, ConfigManager

import orlune.core.runtime_guard as rg


def context():
    ctx = AppContext()
    ctx.register("config_manager", ConfigManager(pathlib.Path(tempfile.mkdtemp()) / "settings.ini", ctx))
    return ctx


def one_session(ctx):
    guard = rg.RuntimeGuarder(ctx)
    guard.initialize()
    for _ in range(3):
        guard._persist()
    guard.cleanup()
    return {"id": guard._current_id, "stale_seen": [r["session_id"] for r in guard._sessions if r.get("stale")]}


def rounds(ctx, keep_going):
    report = []
    while keep_going(len(report)):
        report.append(one_session(ctx))
    print(json.dumps(report), flush=True)


def writer(ctx):
    guard = rg.RuntimeGuarder(ctx)
    guard.initialize()
    print("id", guard._current_id, flush=True)
    n = 0
    while True:
        n += 1
        with guard._lock:
            guard._current_session()["writes"] = n
        guard._persist()
        print("persisted", n, flush=True)


def main(mode, count=None):
    ctx = context()
    if mode == "rounds":
        sys.stdin.readline()
        rounds(ctx, lambda done: done < int(count))
    elif mode == "until-eof":
        closed = threading.Event()
        threading.Thread(target=lambda: (sys.stdin.read(), closed.set()), daemon=True).start()
        rounds(ctx, lambda done: not closed.is_set() and done < int(count))
    else:
        writer(ctx)


if __name__ == "__main__":
    main(*sys.argv[1:])
