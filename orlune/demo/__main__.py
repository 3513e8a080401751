"""Run the road of a session end to end and show it.

Starts the local collector, runs the stand-in application once cleanly and once crashing,
then a third time so the crashed run is closed as stale and delivered. Everything happens
under a throw-away home directory unless --home is given.
"""

import argparse
import json
import os
import secrets
import socket
import subprocess
import sys
import tempfile
from pathlib import Path


# Children import the very package this process runs (-P: not whatever the working
# directory holds).
PYTHON = [sys.executable, "-P"]
PACKAGE_ROOT = str(Path(__file__).resolve().parents[2])


def free_port(preferred):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", preferred))
        except OSError:
            s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_collector(env, port, db):
    proc = subprocess.Popen(
        [*PYTHON, "-m", "orlune.collector", "serve", "--port", str(port), "--db", str(db)],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
    )
    line = proc.stdout.readline()
    if not line.startswith("listening"):
        proc.kill()
        raise SystemExit(f"collector did not start: {line!r}")
    print(f"collector: {line.strip()}")
    return proc


def run_app(env, *extra):
    proc = subprocess.run([*PYTHON, "-m", "orlune.demo.app", *extra], env=env,
                          capture_output=True, text=True, timeout=60)
    sys.stdout.write(proc.stdout)
    if proc.returncode not in (0, -9):
        sys.stdout.write(proc.stderr)
        raise SystemExit(f"application exited with {proc.returncode}")
    return proc.returncode


def show_collector(env, db):
    out = subprocess.run([*PYTHON, "-m", "orlune.collector", "show", "--db", str(db)],
                         env=env, capture_output=True, text=True, check=True).stdout
    print("what the collector stored (one row per upload of a session):")
    print(out.rstrip())


def show_received_log(db):
    from orlune.collector.store import SessionStore

    rows = [r for r in SessionStore(str(db), read_only=True).all() if r["log_text"]]
    print("log text of the closed session as the server received it (redacted):")
    for line in rows[-1]["log_text"].splitlines():
        print("  | " + line)


def show_store(home):
    store = home / ".orlune" / "usage" / "sessions.jsonl"
    print(f"local store {store}:")
    for line in store.read_text().splitlines():
        row = json.loads(line)
        if row.get("log_text"):
            row["log_text"] = row["log_text"][:60] + ("..." if len(row["log_text"]) > 60 else "")
        print("  " + json.dumps(row))


def main(argv=None):
    parser = argparse.ArgumentParser(description="End-to-end session demo")
    parser.add_argument("--home", help="home directory to use (default: a fresh temporary one)")
    parser.add_argument("--port", type=int, default=8765, help="collector port (default 8765)")
    args = parser.parse_args(argv)

    home = Path(args.home or tempfile.mkdtemp(prefix="orlune-demo-")).resolve()
    port = free_port(args.port)
    pythonpath = os.pathsep.join(p for p in (PACKAGE_ROOT, os.environ.get("PYTHONPATH")) if p)
    env = dict(os.environ, HOME=str(home), ORLUNE_SERVER_API_KEY=secrets.token_hex(16), PYTHONPATH=pythonpath,
               ORLUNE_SERVER_URL=f"http://127.0.0.1:{port}/api/validate")
    env.pop("ORLUNE_TELEMETRY", None)
    db = home / "collector.db"
    print(f"home: {home}")
    collector = start_collector(env, port, db)
    try:
        print("\n== 1. a clean run: open row at start-up, closed row with redacted log at shutdown")
        run_app(env)
        show_collector(env, db)
        show_received_log(db)
        show_store(home)

        print("\n== 2. a crashed run: the process is killed after start-up")
        run_app(env, "--crash")
        show_store(home)

        print("\n== 3. the next start marks the crashed row stale and sends it")
        run_app(env)
        show_collector(env, db)
        show_store(home)
    finally:
        collector.terminate()
        collector.wait(timeout=10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
