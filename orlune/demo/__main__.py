"""Run the road of a session end to end and show it.

Starts the local collector, runs the stand-in application once cleanly and once crashing,
then a third time so the crashed run is closed as stale and delivered. With telemetry off
(ORLUNE_TELEMETRY=0 or DO_NOT_TRACK=1) it runs one session and shows that nothing leaves the
machine: the session is stored, marked opted out, and never sent.
Everything happens under a temporary home directory, removed at the end, unless --home is given.
"""

import argparse
import os
import secrets
import sys

from orlune.core.runtime_guard import _telemetry_on
from orlune.demo import home as demo_home
from orlune.demo.processes import (PACKAGE_ROOT, CollectorProcess, DemoError, collector_show,
                                   port_to_request, run_app)
from orlune.demo.story import Story


def _environment(home, api_key, port):
    pythonpath = os.pathsep.join(p for p in (PACKAGE_ROOT, os.environ.get("PYTHONPATH")) if p)
    return dict(os.environ, HOME=str(home), ORLUNE_SERVER_API_KEY=api_key,
                PYTHONPATH=pythonpath, ORLUNE_SERVER_URL=f"http://127.0.0.1:{port}/api/validate")


def _run(story, env, number, title, *app_args):
    print(f"\n== {number}. {title}")
    out, short_id = run_app(env, *app_args)
    sys.stdout.write(out)
    story.ran(short_id, killed="--crash" in app_args)
    print("\n".join(story.new_uploads(number)))


def _telemetry_on_story(story, env):
    _run(story, env, 1, "A clean run: the open row goes out at start-up, two features report "
                        "that they were opened, the closed row leaves with its redacted log at "
                        "shutdown", "--features")
    print("\n".join(story.received_log() + story.local_store()))
    _run(story, env, 2, "A crashed run: the process is killed (SIGKILL) after start-up, "
                        "before any shutdown", "--crash")
    print("\n".join(story.local_store()))
    _run(story, env, 3, "The next start marks the crashed row stale and sends it")
    print("\n".join(story.local_store()))
    print(f"\n  what `python3 -P -m orlune.collector show` prints for {story.db}:")
    print("\n".join("    " + line for line in collector_show(env, story.db).splitlines()))
    print(f"  ({story.killed} is the run the demo killed: to the collector a crash and a session "
          "still running look alike)")
    leaked = story.check_nothing_leaked()
    if leaked:
        raise DemoError(f"unredacted text reached the collector: {', '.join(leaked)}")


def _telemetry_off_story(story, env):
    _run(story, env, 1, "A run with telemetry off: recorded locally, nothing sent")
    print("\n".join(story.local_store()))


def _demo(args, home, temporary, telemetry_on):
    """Everything between preparing the home and removing it; the closing line."""
    port, taken = port_to_request(args.port)
    db = home / "collector.db"
    api_key = secrets.token_hex(16)
    collector = CollectorProcess(_environment(home, api_key, port), port, db,
                                 home / "collector.log")
    try:
        print(f"collector: {collector.listening}")
        if taken:
            print(f"  port {args.port} is in use; the collector listens on {collector.port} instead")
        env = _environment(home, api_key, collector.port)
        story = Story(home, db)
        (_telemetry_on_story if telemetry_on else _telemetry_off_story)(story, env)
        lines, uploads, pending = story.summary(telemetry_on, db_kept=args.keep or not temporary)
    finally:
        collector.stop()
    runs = len(story.sessions)
    if not telemetry_on and uploads:
        raise DemoError(f"{uploads} upload(s) reached the collector although telemetry is "
                        "off: the opt-out did not hold")
    print("\n".join(lines))
    if not telemetry_on:
        return f"Demo finished: telemetry off, {runs} session recorded locally, nothing sent."
    return (f"Demo finished: {runs} runs, {uploads} uploads accepted by the collector, "
            f"{pending} rows pending.")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -P -m orlune.demo",
                                     description="End-to-end session demo")
    parser.add_argument("--home", help="home directory to use, created if missing "
                                       "(default: a fresh temporary one, removed at the end)")
    parser.add_argument("--port", type=int, default=8765,
                        help="collector port (default 8765, or any free one if taken; 0: any)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary home directory")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        print(f"demo: --port must be between 0 and 65535, not {args.port}", file=sys.stderr)
        return 2
    try:
        home, temporary = demo_home.prepare(args.home)
    except demo_home.HomeError as exc:
        print(f"demo: {exc}", file=sys.stderr)
        return 2

    telemetry_on = _telemetry_on()
    print("orlune demo: a stand-in application records its sessions and uploads them to a "
          "local collector.")
    if not telemetry_on:
        switches = ", ".join(f"{k}={os.environ[k]}" for k in ("ORLUNE_TELEMETRY", "DO_NOT_TRACK")
                             if k in os.environ)
        print(f"telemetry is off ({switches}): the application still records its session "
              "locally, and nothing of it may ever leave the machine.")
    print(f"home: {home}" + (" (temporary)" if temporary else ""))
    try:
        closing = _demo(args, home, temporary, telemetry_on)
    except DemoError as exc:
        print(f"demo: {exc}", file=sys.stderr)
        return 1
    finally:
        note = demo_home.finish(home, temporary, args.keep)
        if note:
            print(note)
    print(closing)
    return 0


if __name__ == "__main__":
    sys.exit(main())
