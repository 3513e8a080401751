"""Start-up and shutdown on the host's thread: this module against a plain Python build of the
same component, and against the disk's own write+fsync of the same bytes, in one run.

Run by hand from the repository root with a Release build in the tree:

    cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build/release
    PYTHONPATH=. python3 bench/bench_lifecycle.py [--runs N]

Stores: "full" (200 rows of 48,000 characters of log text, what a long-time user's store holds),
"typical" (200 rows of 5,000 characters) and "empty" (no store file yet). Telemetry is off in
the settings, so neither side starts a flush: the figures are the store's work and the host
calls around it. Each run restores the store file, builds a fresh component of each kind and
times initialize(), then cleanup() (whose log text comes from a panel of 400 records).
"disk" writes the bytes cleanup left in the store to a file beside it, fsyncs, renames and
syncs the directory: the floor of any durable write of that store.
"""

import argparse
import json
import logging
import os
import random
import statistics
import sys
import tempfile
import threading
import uuid
from datetime import datetime, timezone
from pathlib import Path

import orlune.core.runtime_guard as rg
from orlune.app.config import ConfigManager
from orlune.app.context import AppContext
from orlune.app.logging_panel import LoggingPanel
from orlune.core.base_component import ApplicationComponent, ComponentState

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from reference_logs import python_rendering  # noqa: E402
from reference_store import python_rows, python_text  # noqa: E402
from bench_store import timed  # noqa: E402  (this script's folder is on the path)

# ---- the Python build: the component as plain Python code of its description --------------

_MAX_STORED = 200
_MAX_LOG_LINES = 400
_MAX_LOG_CHARS = 48000
_PATTERNS = [(rg._PATH_RE, "<path>"), (rg._EMAIL_RE, "<email>"), (rg._TOKENISH_RE, "<token>")]
log = logging.getLogger("bench.python_build")


def _utcnow_iso():
    return datetime.now(timezone.utc).replace(microsecond=0).isoformat()


def _duration_s(started_at, ended_at):
    try:
        delta = datetime.fromisoformat(ended_at) - datetime.fromisoformat(started_at)
        return max(0, int(delta.total_seconds()))
    except (TypeError, ValueError):
        return 0


def sanitize_log_text(text):
    out = text or ""
    for pattern, marker in _PATTERNS:
        out = pattern.sub(marker, out)
    return out[-_MAX_LOG_CHARS:] if len(out) > _MAX_LOG_CHARS else out


class PythonGuarder(ApplicationComponent):
    def __init__(self, app_context, store):
        super().__init__("runtime_guard", app_context)
        self.dependencies = ["config_manager"]
        self._enabled = True
        self._lock = threading.Lock()
        self._sessions = []
        self._current_id = ""
        self._flush_lock = threading.Lock()
        self._file = store

    def _reload_flags(self):
        settings = self.app_context.get_component("config_manager") if self.app_context else None
        if settings is None:
            return
        self._enabled = bool(settings.get_value("Telemetry", "enabled", True))
        if not self._enabled:
            log.info("Usage tracking disabled ([Telemetry] enabled=false)")

    def _load_store(self):
        self._sessions = []
        if not self._file.exists():
            return
        try:
            text = self._file.read_text(encoding="utf-8")
        except OSError:
            return
        self._sessions = python_rows(text, _MAX_STORED)

    def _persist_unlocked(self):
        try:
            self._file.parent.mkdir(parents=True, exist_ok=True)
            text = python_text(self._sessions, _MAX_STORED)
            tmp = self._file.with_suffix(".tmp")
            tmp.write_text(text, encoding="utf-8")
            tmp.replace(self._file)
        except OSError as exc:
            log.debug("Could not persist usage store: %s", exc)

    def _persist(self):
        with self._lock:
            self._persist_unlocked()

    def _close_stale_sessions(self):
        for row in self._sessions:
            if not row.get("ended_at") and not row.get("stale"):
                row["ended_cleanly"] = False
                row["duration_s"] = 0
                row["stale"] = True
                row["flushed"] = False

    def _start_session(self):
        now = _utcnow_iso()
        self._current_id = str(uuid.uuid4())
        self._sessions.append({"session_id": self._current_id, "started_at": now, "ended_at": "",
                               "duration_s": 0, "ended_cleanly": False, "flushed": False})

    def _current_session(self):
        if not self._current_id:
            return None
        for row in reversed(self._sessions):
            if row.get("session_id") == self._current_id:
                return row
        return None

    def _capture_logs(self):
        if not self.app_context:
            return ""
        panel = self.app_context.get_component("logger")
        if panel is None or not hasattr(panel, "get_recent_logs"):
            return ""
        try:
            records = panel.get_recent_logs(count=1000)
        except Exception:
            log.debug("Could not read logging panel records", exc_info=True)
            return ""
        return python_rendering(list(records or []), sanitize_log_text, _MAX_LOG_LINES)

    def initialize(self):
        try:
            self._reload_flags()
            self._file.parent.mkdir(parents=True, exist_ok=True)
            self._load_store()
            self._close_stale_sessions()
            self._start_session()
            self._persist()
            if self._enabled:
                raise RuntimeError("the bench runs with telemetry off")
        except Exception:
            log.exception("RuntimeGuarder initialize failed; continuing without telemetry")
        self.set_state(ComponentState.INITIALIZED)
        return True

    def cleanup(self):
        try:
            self._reload_flags()
            self._flush_lock.acquire()
            self._flush_lock.release()
            now = _utcnow_iso()
            with self._lock:
                current = self._current_session()
                if current is not None:
                    current["ended_at"] = now
                    current["ended_cleanly"] = True
                    current["duration_s"] = _duration_s(current.get("started_at", ""), now)
                    current["flushed"] = False
                    current["log_text"] = self._capture_logs()
                self._persist_unlocked()
        except Exception:
            log.debug("RuntimeGuarder cleanup flush failed", exc_info=True)


# ---- the run ---------------------------------------------------------------------------------

WORDS = ["open", "study", "series", "render", "ok", "warn", "slice", "3D", "done", "export", "view"]


def log_text(rng, chars):
    lines, size = [], 0
    while size < chars:
        line = "2024-05-01 10:00:00 INFO " + " ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 16)))
        lines.append(line)
        size += len(line) + 1
    return "\n".join(lines)[-chars:]


def seed_bytes(rows, chars, seed=3):
    rng = random.Random(seed)
    out = []
    for i in range(rows):
        row = {"session_id": str(uuid.UUID(int=rng.getrandbits(128), version=4)),
               "started_at": "2024-05-01T10:00:00+00:00", "ended_at": "2024-05-01T11:00:00+00:00",
               "duration_s": 3600, "ended_cleanly": True, "flushed": True, "log_text": log_text(rng, chars)}
        out.append(json.dumps(row, separators=(",", ":")) + "\n")
    return "".join(out).encode()


def host(directory):
    settings = Path(directory) / "settings.ini"
    settings.write_text("[Telemetry]\nenabled = false\n")
    context = AppContext()
    context.register("config_manager", ConfigManager(settings))
    panel = context.register("logger", LoggingPanel())
    rng = random.Random(5)
    for i in range(400):
        message = " ".join(rng.choice(WORDS) for _ in range(24)) + f" /home/user/studies/{i}.dcm"
        panel._append({"timestamp": 1714557600 + i, "level": "INFO", "message": message})
    return context


def disk_write(store):
    data = store.read_bytes()
    tmp = store.with_name("disk.tmp")

    def once():
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        try:
            os.write(fd, data)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, store.with_name("disk.jsonl"))
        dfd = os.open(store.parent, os.O_RDONLY)
        try:
            os.fsync(dfd)
        finally:
            os.close(dfd)

    return timed(once)


def run_scenario(name, seed, runs, context, tmp):
    base = Path(tmp) / name
    native_store = base / "native" / "usage" / "sessions.jsonl"
    python_store = base / "python" / "usage" / "sessions.jsonl"
    times = {k: [] for k in ("rg init", "py init", "rg cleanup", "py cleanup", "disk")}
    for _ in range(runs):  # interleaved, so load on the machine hits both alike
        for store in (native_store, python_store):
            store.parent.mkdir(parents=True, exist_ok=True)
            if seed:
                store.write_bytes(seed)
            elif store.exists():
                store.unlink()
        rg._USAGE_DIR, rg._SESSIONS_FILE = native_store.parent, native_store
        native = rg.RuntimeGuarder(context)
        python = PythonGuarder(context, python_store)
        times["rg init"].append(timed(native.initialize))
        times["py init"].append(timed(python.initialize))
        times["rg cleanup"].append(timed(native.cleanup))
        times["py cleanup"].append(timed(python.cleanup))
        times["disk"].append(disk_write(native_store))
    assert [r["session_id"] for r in map(json.loads, native_store.read_text().splitlines())][:-1] == \
        [r["session_id"] for r in map(json.loads, python_store.read_text().splitlines())][:-1]
    return {k: statistics.median(v) * 1000 for k, v in times.items()}, native_store.stat().st_size


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=11)
    args = parser.parse_args()
    logging.getLogger("orlune").setLevel(logging.WARNING)
    log.setLevel(logging.WARNING)
    scenarios = [("full", seed_bytes(200, 48_000)), ("typical", seed_bytes(200, 5_000)), ("empty", b"")]
    with tempfile.TemporaryDirectory() as tmp:
        context = host(tmp)
        print(f"{args.runs} interleaved runs, median ms; telemetry off")
        print(f"{'store':8} {'bytes':>10} | {'initialize':>10} {'python':>8} {'ratio':>6} | "
              f"{'cleanup':>8} {'python':>8} {'ratio':>6} | {'disk':>6}")
        for name, seed in scenarios:
            med, size = run_scenario(name, seed, args.runs, context, tmp)
            print(f"{name:8} {size:10d} | {med['rg init']:10.1f} {med['py init']:8.1f} "
                  f"{med['rg init'] / med['py init']:6.2f} | {med['rg cleanup']:8.1f} {med['py cleanup']:8.1f} "
                  f"{med['rg cleanup'] / med['py cleanup']:6.2f} | {med['disk']:6.1f}")


if __name__ == "__main__":
    main()
