"""Command line for the local usage collector.

    python3 -P -m orlune.collector serve [--host H] [--port 8765] [--db PATH] [--api-key KEY]
                                         [--max-body BYTES]
    python3 -P -m orlune.collector show --db PATH [--last N] [--uploads | --full ID] [--json]
"""

import argparse
import logging
import os
import signal
import sqlite3
import sys
import threading
from pathlib import Path

from orlune.collector import show as render
from orlune.collector import views
from orlune.collector.store import SessionStore, describe_open_error


def _fail(message, code=1):
    print(f"error: {message}", file=sys.stderr)
    return code


def _serve(args):
    api_key = args.api_key or os.environ.get("ORLUNE_SERVER_API_KEY", "")
    if not api_key:
        return _fail("no API key; pass --api-key or set ORLUNE_SERVER_API_KEY", 2)
    if not 0 <= args.port <= 65535:
        return _fail(f"--port must be between 0 and 65535, not {args.port}", 2)
    if args.max_body is not None and args.max_body < 0:
        return _fail(f"--max-body must be 0 or more, not {args.max_body}", 2)
    logging.basicConfig(level=logging.INFO, stream=sys.stderr,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    from orlune.collector.server import Collector  # the HTTP side and its crypto: serve only

    # Opening the database and binding the port fail for different reasons; say which.
    try:
        limit = {} if args.max_body is None else {"max_body": args.max_body}
        collector = Collector(api_key=api_key, db_path=args.db, host=args.host, port=args.port, **limit)
    except sqlite3.Error as exc:
        return _fail(describe_open_error(args.db, exc))
    try:
        collector.start()
    except (OSError, OverflowError) as exc:
        return _fail(f"cannot listen on {args.host}:{args.port}: {exc}")
    try:
        where = args.db or "memory (lost on exit)"
        print(f"listening on {collector.url} (POST {collector.usage_url}), storing in {where}",
              flush=True)
        while not done.wait(0.5):  # short waits keep signal delivery prompt
            pass
    finally:
        collector.stop()
    print("stopped", flush=True)
    return 0


def _read_rows(db):
    """The stored upload rows, or an error line."""
    if not Path(db).is_file():
        return None, f"no database at {db}"
    try:
        store = SessionStore(db, read_only=True)
    except sqlite3.Error as exc:
        return None, describe_open_error(db, exc)
    try:
        return store.all(), None
    except sqlite3.Error as exc:
        return None, f"cannot read the sessions in {db}: {exc}"
    finally:
        store.close()


def _show(args):
    if args.last is not None and args.last < 1:
        return _fail(f"--last must be 1 or more, not {args.last}", 2)
    rows, problem = _read_rows(args.db)
    if problem:
        return _fail(problem)
    entries = views.sessions(rows)
    last = slice(-args.last, None) if args.last else slice(None)
    if args.full:
        found = views.find(entries, args.full)
        if len(found) != 1:
            why = "no session" if not found else f"{len(found)} sessions match"
            return _fail(f"{why} {args.full!r} in {args.db}")
        lines = [render.as_json(found[0])] if args.json else render.full_lines(found[0])
    elif args.uploads:
        lines = [render.as_json(rows[last])] if args.json else render.upload_lines(rows[last])
    elif args.json:
        lines = [render.as_json(entries[last])]
    elif not rows:
        lines = ["(no sessions)"]
    else:
        lines = render.session_lines(entries[last], entries, len(rows))
    print("\n".join(lines))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -P -m orlune.collector",
                                     description="Local usage collector.")
    sub = parser.add_subparsers(dest="command", required=True)
    serve = sub.add_parser("serve", help="receive usage uploads until interrupted")
    serve.add_argument("--host", default="127.0.0.1")
    serve.add_argument("--port", type=int, default=8765, help="0 picks a free port")
    serve.add_argument("--db", help="SQLite file (default: in memory)")
    serve.add_argument("--api-key", help="default: $ORLUNE_SERVER_API_KEY")
    serve.add_argument("--max-body", type=int, metavar="BYTES",
                       help="answer 413 to larger request bodies, as a front end with that limit "
                            "would (default: 16 MiB; 1048576 is a common proxy's 1 MiB)")
    show = sub.add_parser("show", help="print the stored sessions, one line each, then totals")
    show.add_argument("--db", required=True)
    show.add_argument("--last", type=int, metavar="N", help="only the last N sessions (or uploads)")
    view = show.add_mutually_exclusive_group()
    view.add_argument("--uploads", action="store_true", help="one line per upload instead")
    view.add_argument("--full", metavar="ID", help="one session whole, log text included "
                                                  "(ID or its first characters)")
    show.add_argument("--json", action="store_true", help="machine-readable output")
    args = parser.parse_args(argv)
    return _serve(args) if args.command == "serve" else _show(args)


if __name__ == "__main__":
    sys.exit(main())
