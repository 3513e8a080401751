"""SQLite storage for received session rows."""

import sqlite3
import threading
from pathlib import Path

COLUMNS = (
    "received_at", "machine_id", "token_id", "plan", "app_version", "os", "tz",
    "session_id", "started_at", "ended_at", "duration_s", "ended_cleanly", "log_text",
)
META_KEYS = ("machine_id", "token_id", "plan", "app_version", "os", "tz")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS sessions (
    id            INTEGER PRIMARY KEY AUTOINCREMENT,
    received_at   TEXT NOT NULL,
    machine_id    TEXT NOT NULL,
    token_id      TEXT NOT NULL,
    plan          TEXT NOT NULL,
    app_version   TEXT NOT NULL,
    os            TEXT NOT NULL,
    tz            TEXT NOT NULL,
    session_id    TEXT NOT NULL,
    started_at    TEXT NOT NULL,
    ended_at      TEXT NOT NULL,
    duration_s    INTEGER NOT NULL,
    ended_cleanly INTEGER NOT NULL,
    log_text      TEXT
)
"""


def describe_open_error(db_path, exc) -> str:
    """One line for a database that cannot be opened, naming the file rather than SQLite's
    generic wording alone."""
    if isinstance(exc, sqlite3.DatabaseError) and "not a database" in str(exc):
        return f"{db_path} is not an SQLite database"
    return f"cannot open the database {db_path}: {exc}"


class SessionStore:
    """One connection shared by the collector's handler threads, behind a lock.

    ``db_path=None`` keeps everything in memory. ``read_only`` opens an existing
    file without creating it or its schema.
    """

    def __init__(self, db_path=None, *, read_only=False):
        self._lock = threading.Lock()
        if read_only:
            if db_path is None:
                raise ValueError("read_only needs a database file")
            uri = Path(db_path).resolve().as_uri() + "?mode=ro"
            self._conn = sqlite3.connect(uri, uri=True, check_same_thread=False)
            # SQLite opens lazily: read the header now, so a file that is not a database
            # fails here rather than at the first query.
            first = "PRAGMA schema_version"
        else:
            self._conn = sqlite3.connect(db_path or ":memory:", check_same_thread=False)
            first = _SCHEMA
        try:
            with self._conn:
                self._conn.execute(first)
        except sqlite3.Error:
            self._conn.close()
            raise

    def add(self, meta, sessions, received_at) -> int:
        """Store all sessions of one upload atomically; return how many."""
        rows = [
            (
                received_at, *(meta[k] for k in META_KEYS),
                s["session_id"], s["started_at"], s["ended_at"], s["duration_s"],
                int(s["ended_cleanly"]), s.get("log_text"),
            )
            for s in sessions
        ]
        sql = f"INSERT INTO sessions ({', '.join(COLUMNS)}) VALUES ({', '.join('?' * len(COLUMNS))})"
        with self._lock, self._conn:
            self._conn.executemany(sql, rows)
        return len(rows)

    def all(self) -> list:
        """Every stored row as a dict, in insertion order."""
        with self._lock:
            try:
                cur = self._conn.execute(f"SELECT {', '.join(COLUMNS)} FROM sessions ORDER BY id")
            except sqlite3.OperationalError as exc:
                if "no such table" in str(exc):
                    return []
                raise
            rows = cur.fetchall()
        out = []
        for row in rows:
            item = dict(zip(COLUMNS, row))
            item["ended_cleanly"] = bool(item["ended_cleanly"])
            out.append(item)
        return out

    def close(self) -> None:
        with self._lock:
            self._conn.close()
