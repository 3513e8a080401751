"""Command line for the local usage collector.

    python -m orlune.collector serve [--host H] [--port 8765] [--db PATH] [--api-key KEY]
    python -m orlune.collector show --db PATH
"""

import argparse
import logging
import os
import signal
import sqlite3
import sys
import threading
from pathlib import Path

from orlune.collector.server import Collector
from orlune.collector.store import SessionStore

_PREVIEW_CHARS = 40


def _serve(args):
    api_key = args.api_key or os.environ.get("ORLUNE_SERVER_API_KEY", "")
    if not api_key:
        print("error: no API key; pass --api-key or set ORLUNE_SERVER_API_KEY", file=sys.stderr)
        return 2
    logging.basicConfig(level=logging.INFO, stream=sys.stderr,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    try:
        collector = Collector(api_key=api_key, db_path=args.db, host=args.host,
                              port=args.port).start()
    except (OSError, sqlite3.Error) as exc:
        print(f"error: cannot start on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
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


def _duration(seconds):
    h, rest = divmod(seconds, 3600)
    m, s = divmod(rest, 60)
    return f"{h}:{m:02d}:{s:02d}"


def _preview(text):
    if text is None:
        return ""
    flat = text.replace("\r\n", "\n").replace("\r", "\n").replace("\n", "\\n")
    return flat if len(flat) <= _PREVIEW_CHARS else flat[:_PREVIEW_CHARS] + "..."


def _show(args):
    if not Path(args.db).is_file():
        print(f"error: no database at {args.db}", file=sys.stderr)
        return 1
    store = SessionStore(args.db, read_only=True)
    try:
        rows = store.all()
    finally:
        store.close()
    if not rows:
        print("(no sessions)")
        return 0
    table = [("id", "start", "end", "duration", "clean", "log")]
    for r in rows:
        table.append((r["session_id"][:8], r["started_at"], r["ended_at"],
                      _duration(r["duration_s"]), "yes" if r["ended_cleanly"] else "no",
                      _preview(r["log_text"])))
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
    for row in table:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m orlune.collector",
                                     description="Local usage collector.")
    sub = parser.add_subparsers(dest="command", required=True)
    serve = sub.add_parser("serve", help="receive usage uploads until interrupted")
    serve.add_argument("--host", default="127.0.0.1")
    serve.add_argument("--port", type=int, default=8765)
    serve.add_argument("--db", help="SQLite file (default: in memory)")
    serve.add_argument("--api-key", help="default: $ORLUNE_SERVER_API_KEY")
    show = sub.add_parser("show", help="print the stored sessions")
    show.add_argument("--db", required=True)
    args = parser.parse_args(argv)
    return _serve(args) if args.command == "serve" else _show(args)


if __name__ == "__main__":
    sys.exit(main())
