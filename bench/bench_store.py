"""Store writes: this tree's module against a baseline build of the module (main), same run.

The write of a full store (200 rows of 48,000 characters of log text) now takes the store lock,
re-reads the file and, when another process changed it, merges. Run by hand from the repository
root, both modules built the same way (Release):

    cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build/release
    mkdir -p build/baseline-src && git archive main | tar -x -C build/baseline-src
    cmake -S build/baseline-src -B build/baseline-src/build -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build/baseline-src/build
    PYTHONPATH=. python3 bench/bench_store.py [--baseline PATH_TO_SO] [--runs N]

Rows: "alone" is one process writing (the file is as it left it); "merge" has a second
component change one row on disk before each timed write; "lock" and "re-read" time the same
system calls as the write makes for them (flock on a fresh lock file and its removal; reading
the whole store).

Then start-up on stores that something else grew: `initialize()` (telemetry off, so no network)
on a fresh copy of each store, for both modules, with how many of the stored rows each kept:
10**6 small rows, and 100 rows followed by one 70 MiB line.
"""

import argparse
import fcntl
import glob
import importlib.util
import json
import os
import random
import shutil
import statistics
import tempfile
import time
from pathlib import Path

import orlune.core.runtime_guard as rg

ROWS = 200
LOG_CHARS = 48_000


def load_baseline(path):
    found = importlib.util.spec_from_file_location("rg_baseline.runtime_guard", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def full_rows(seed=3):
    rng = random.Random(seed)
    words = ["open", "study", "series", "render", "ok", "warn", "<path>", "<email>", "3D", "done"]
    rows = []
    for i in range(ROWS):
        text = " ".join(rng.choice(words) for _ in range(LOG_CHARS // 4))[:LOG_CHARS]
        rows.append({"session_id": f"{i:08d}-0000-4000-8000-000000000000", "started_at": "2024-05-01T10:00:00+00:00",
                     "ended_at": "2024-05-01T11:00:00+00:00", "duration_s": 3600, "ended_cleanly": True,
                     "flushed": False, "log_text": text})
    return rows


def point_at(module, directory):
    usage = Path(directory) / "usage"
    module._USAGE_DIR = usage
    module._SESSIONS_FILE = usage / "sessions.jsonl"


def component(module, rows):
    guard = module.RuntimeGuarder(None)
    guard._sessions = [dict(r) for r in rows]
    guard._persist()
    guard._load_store()
    return guard


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def lock_cost(directory):
    path = os.path.join(directory, "bench.lock")

    def once():
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        os.fstat(fd), os.stat(path)
        os.unlink(path)
        os.close(fd)

    return timed(once)


def grown_stores(directory):
    small = "".join(json.dumps({"session_id": f"{i:07d}", "ended_at": "t", "flushed": True},
                               separators=(",", ":")) + "\n" for i in range(10**6))
    rows = "".join(json.dumps({"session_id": f"r{i}", "ended_at": "t", "flushed": False},
                              separators=(",", ":")) + "\n" for i in range(100))
    stores = {"10**6 rows": small, "70 MiB line": rows + "x" * (70 << 20) + "\n"}
    paths = {}
    for name, text in stores.items():
        paths[name] = os.path.join(directory, name.replace(" ", "_") + ".jsonl")
        with open(paths[name], "w") as f:
            f.write(text)
    return paths


def startup(module, directory, store, runs):
    """Median seconds of initialize() on a fresh copy of `store`, and the stored rows it kept."""
    from orlune.app import AppContext

    times, kept = [], 0
    for run in range(runs):
        point_at(module, os.path.join(directory, f"start-{run}"))
        module._USAGE_DIR.mkdir(parents=True)
        shutil.copyfile(store, module._SESSIONS_FILE)
        guard = module.RuntimeGuarder(AppContext())
        times.append(timed(guard.initialize))
        kept = len(guard._sessions) - 1
        guard.cleanup()
        shutil.rmtree(module._USAGE_DIR)
    return statistics.median(times), kept


def main():
    parser = argparse.ArgumentParser()
    default = sorted(glob.glob("build/baseline-src/orlune/core/runtime_guard*.so"))
    parser.add_argument("--baseline", default=default[0] if default else None)
    parser.add_argument("--runs", type=int, default=21)
    args = parser.parse_args()
    if not args.baseline:
        parser.error("no baseline module: build main as the docstring says, or pass --baseline")
    base = load_baseline(args.baseline)
    rows = full_rows()

    with tempfile.TemporaryDirectory() as tmp:
        dirs = {name: os.path.join(tmp, name) for name in ("base", "alone", "merge")}
        point_at(base, dirs["base"])
        baseline = component(base, rows)
        point_at(rg, dirs["alone"])
        alone = component(rg, rows)
        point_at(rg, dirs["merge"])
        merging, other = component(rg, rows), rg.RuntimeGuarder(None)
        other._load_store()

        times = {k: [] for k in ("baseline", "alone", "merge", "lock", "re-read")}
        for run in range(args.runs):  # interleaved, so load on the machine hits all alike
            point_at(base, dirs["base"])
            times["baseline"].append(timed(baseline._persist))
            point_at(rg, dirs["alone"])
            alone._sessions[-1]["duration_s"] = run
            times["alone"].append(timed(alone._persist))
            point_at(rg, dirs["merge"])
            other._sessions[run % ROWS]["flushed"] = not other._sessions[run % ROWS]["flushed"]
            other._persist()
            merging._sessions[-1]["duration_s"] = run
            times["merge"].append(timed(merging._persist))
            times["lock"].append(lock_cost(tmp))
            times["re-read"].append(timed(rg._SESSIONS_FILE.read_bytes))

    print(f"store: {ROWS} rows x {LOG_CHARS} chars of log text; {args.runs} interleaved runs; median ms")
    med = {k: statistics.median(v) * 1000 for k, v in times.items()}
    print(f"{'baseline (main)':18} {med['baseline']:8.2f}")
    for k in ("alone", "merge"):
        print(f"{k:18} {med[k]:8.2f}   x{med[k] / med['baseline']:.2f} of baseline")
    for k in ("lock", "re-read"):
        print(f"{k:18} {med[k]:8.2f}")

    os.environ["ORLUNE_TELEMETRY"] = "0"
    runs = max(3, args.runs // 4)
    print(f"\nstart-up (initialize) on a grown store; {runs} runs each; median ms, rows kept")
    with tempfile.TemporaryDirectory() as tmp:
        for name, store in grown_stores(tmp).items():
            t_base, k_base = startup(base, tmp, store, runs)
            t_now, k_now = startup(rg, tmp, store, runs)
            print(f"{name:14} baseline {t_base * 1000:9.2f} ({k_base} rows)   this tree "
                  f"{t_now * 1000:9.2f} ({k_now} rows)   x{t_now / t_base:.3f} of baseline")


if __name__ == "__main__":
    main()
