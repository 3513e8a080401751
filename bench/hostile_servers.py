"""How long start-up and shutdown take against misbehaving servers, run by hand (not a test).

    PYTHONPATH=.:tests python3 bench/hostile_servers.py

With the module's default timeouts, for each server on loopback: the time `initialize` and
`cleanup` take when the server meets the start-up flush (and so holds it), the time `cleanup`
takes when the server meets only the shutdown flush, and whether the closed row is in the
store, pending. The same cleanup times again while another process hangs holding the store
lock (each store write then waits for it). Then the resident memory around a 512 MiB reply.
"""

import os
import sys
import tempfile
import time

os.environ["HOME"] = tempfile.mkdtemp(prefix="rg-hostile-")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

import contextlib  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402
import subprocess  # noqa: E402

import orlune.auth.validator as validator  # noqa: E402
import orlune.core.runtime_guard as rg  # noqa: E402
from orlune.app import AppContext, ConfigManager  # noqa: E402
from orlune.auth.storage import save_token  # noqa: E402
from orlune.collector import Collector  # noqa: E402
from support_hostile import (Answer, Huge, Redirect, Silent, TrickleBody,  # noqa: E402
                             TrickleStatus)
from support_upload import API_KEY  # noqa: E402


def status_kib(field):
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return -1


def point_at(url):
    validator._DEFAULT_VALIDATION_URL = url + "/api/validate"
    validator._SERVER_API_KEY = API_KEY


def fresh_store(name):
    usage = pathlib.Path(os.environ["HOME"]) / name / ".orlune" / "usage"
    rg._USAGE_DIR, rg._SESSIONS_FILE = usage, usage / "sessions.jsonl"
    ctx = AppContext()
    ctx.register("config_manager", ConfigManager(usage.parent / "settings.ini", ctx))
    return rg.RuntimeGuarder(ctx)


@contextlib.contextmanager
def store_lock_held():
    """Another process holds the current store's lock until the block ends."""
    holder = subprocess.Popen(
        [sys.executable, "-c", "import fcntl, sys\nf = open(sys.argv[1], 'a')\nfcntl.flock(f, fcntl.LOCK_EX)\n"
         "print('held', flush=True)\nsys.stdin.read()", str(rg._SESSIONS_FILE.with_suffix(".lock"))],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "held\n"
    try:
        yield
    finally:
        holder.communicate(input="", timeout=30)


def closed_row_state():
    if not rg._SESSIONS_FILE.exists():
        return "no store"
    rows = [json.loads(x) for x in rg._SESSIONS_FILE.read_text().splitlines()]
    last = rows[-1]
    closed = "closed" if last["ended_cleanly"] and last["ended_at"] else "OPEN"
    return f"{len(rows)} row, {closed}, {'delivered' if last['flushed'] else 'pending'}"


def timed(fn):
    start = time.monotonic()
    fn()
    return time.monotonic() - start


def start_up_meets(name, server, held=contextlib.nullcontext):
    with server:
        point_at(server.url)
        g = fresh_store(name + "-a")
        t_init = timed(g.initialize)
        server.arrived.wait(5)
        with held():
            t_clean = timed(g.cleanup)
        state = closed_row_state()
    return t_init, t_clean, state


def shutdown_meets(name, server, collector, held=contextlib.nullcontext):
    point_at(collector.url)
    g = fresh_store(name + "-b")
    g.initialize()
    g._flush_lock.acquire(timeout=10)  # the start-up flush is done
    g._flush_lock.release()
    with server:
        point_at(server.url)
        with held():
            t_clean = timed(g.cleanup)
        state = closed_row_state()
    return t_clean, state


def huge_reply_memory():
    with Huge(512 << 20) as server:
        point_at(server.url)
        rss0, hwm0 = status_kib("VmRSS"), status_kib("VmHWM")
        t = timed(lambda: rg._post_usage([{"session_id": "x"}], timeout=5))
        g = fresh_store("huge-mem")
        g._sessions = [{"session_id": "y", "flushed": False}]
        t_flush = timed(lambda: g._flush(5))
        rss1, hwm1 = status_kib("VmRSS"), status_kib("VmHWM")
    print(f"512 MiB reply: _post_usage {t:.2f} s, flush {t_flush:.2f} s; "
          f"RSS {rss0 // 1024} -> {rss1 // 1024} MiB, peak {hwm0 // 1024} -> {hwm1 // 1024} MiB")


def main():
    save_token("tok-bench", "pro")
    huge_reply_memory()  # first, so the process peak is not yet raised by anything else
    with Answer() as elsewhere:
        servers = [
            ("silent", Silent), ("trickle status", TrickleStatus), ("trickle body", TrickleBody),
            ("redirect 307", lambda: Redirect(307, elsewhere.url + "/api/usage")),
            ("HTTP 500", lambda: Answer(500, b'{"error": "down"}')),
            ("512 MiB body", lambda: Huge(512 << 20)),
        ]
        print(f"{'server':16} {'init s':>7} {'cleanup s':>10}  row after start-up-flush case"
              f"        {'cleanup s':>10}  row after shutdown-flush case")
        with Collector(api_key=API_KEY) as collector:
            for name, make in servers:
                t_init, t_clean, state_a = start_up_meets(name, make())
                t_shut, state_b = shutdown_meets(name, make(), collector)
                print(f"{name:16} {t_init:7.3f} {t_clean:10.2f}  {state_a:34} {t_shut:10.2f}  {state_b}")
            print("\nwhile another process hangs holding the store lock:")
            print(f"{'server':16} {'cleanup s':>10} (start-up flush held) {'cleanup s':>10} (shutdown flush)")
            for name, make in servers:
                _, t_clean, _ = start_up_meets(name + "-held", make(), store_lock_held)
                t_shut, _ = shutdown_meets(name + "-held", make(), collector, store_lock_held)
                print(f"{name:16} {t_clean:10.2f} {'':21} {t_shut:10.2f}")
        print(f"requests that reached the redirect target: {len(elsewhere.requests)}")


if __name__ == "__main__":
    main()
