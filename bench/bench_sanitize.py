"""Log redaction and panel rendering: native module against the same work in Python.

Run by hand from the repository root, against an optimized build (this one drops an -O3
module into the tree the same way the developer build does):

    cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build/release
    PYTHONPATH=. python3 bench/bench_sanitize.py

The baseline is the `re.sub` chain with the module's own patterns plus the tail cut, measured
in the same run. Some adversarial inputs make `re` quadratic; its timing is skipped where it
would run for minutes (the table says so).
"""

import os
import platform
import random
import statistics
import sys
import time
import uuid
from datetime import datetime
from pathlib import Path

import orlune.core.runtime_guard as rg

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from reference_logs import python_rendering  # noqa: E402

SLOW_BASELINE = 0.05  # seconds at 48,000 chars above which the 1,000,000-char baseline is skipped


def re_chain(text):
    out = rg._PATH_RE.sub("<path>", text or "")
    out = rg._EMAIL_RE.sub("<email>", out)
    out = rg._TOKENISH_RE.sub("<token>", out)
    if len(out) > rg._MAX_LOG_CHARS:
        out = out[-rg._MAX_LOG_CHARS :]
    return out


def python_panel(records):
    return python_rendering(records, re_chain, rg._MAX_LOG_LINES)


def timed(fn, arg, budget=0.5, max_runs=200):
    """Median seconds per call over as many runs as fit in the budget (at least 3)."""
    runs = []
    start = time.perf_counter()
    while len(runs) < 3 or (time.perf_counter() - start < budget and len(runs) < max_runs):
        t0 = time.perf_counter()
        fn(arg)
        runs.append(time.perf_counter() - t0)
    return statistics.median(runs)


def realistic_messages(rng):
    users = ["anna", "jens", "m.keller", "dr_liu"]
    while True:
        u = rng.choice(users)
        study = uuid.UUID(int=rng.getrandbits(128))
        day = f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
        token = "-".join("".join(rng.choice("ABCDEFGHJKLMNPQRSTUVWXYZ23456789") for _ in range(4)) for _ in range(4))
        yield rng.choice([
            f"Loaded series {rng.randint(1, 40)} from /home/{u}/studies/{day}/series_{rng.randint(1, 9)}/IM{rng.randint(0, 999):04d}.dcm",
            f"Export finished: C:\\Users\\{u}\\Documents\\exports\\study_{rng.randint(1, 999)}.zip ({rng.randint(1, 900)} MB)",
            f"Study {study} opened by {u}@clinic-north.example.org",
            f"License key {token} verified for workstation {rng.randint(1, 30)}",
            f"Segmentation of {day} scan took {rng.random() * 9:.2f} s with 3 labels",
            f"Network share \\\\pacs01\\archive\\{day}\\{study.hex[:8]} is reachable",
            f"Rendering volume {rng.randint(64, 512)}x{rng.randint(64, 512)}x{rng.randint(20, 300)} at level {rng.randint(1, 4)}",
            f"Request to https://updates.example.com/api/v2/channel/stable returned {rng.choice([200, 304, 503])}",
            "Viewer ready",
            f"Cache hit ratio {rng.random():.3f}; evicted {rng.randint(0, 99)} tiles",
        ])


def realistic_records(count, rng):
    base = 1_717_000_000.0
    messages = realistic_messages(rng)
    return [
        {"timestamp": base + i * 0.37, "level": rng.choice(["INFO", "INFO", "DEBUG", "WARNING", "ERROR"]),
         "message": next(messages)}
        for i in range(count)
    ]


def realistic_log(size, rng):
    lines, total = [], 0
    for record in realistic_records(10_000, rng):
        line = f"{datetime.fromtimestamp(record['timestamp']):%Y-%m-%d %H:%M:%S} {record['level']} {record['message']}"
        lines.append(line)
        total += len(line) + 1
        if total >= size:
            break
    return "\n".join(lines)[:size]


def cpu_name():
    """platform.processor() is empty on many Linux systems; /proc/cpuinfo names the model."""
    name = platform.processor()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return f"{name or platform.machine()} ({line.split(':', 1)[1].strip()})"
    except OSError:
        pass
    return name or platform.machine()


def main():
    rng = random.Random(7)
    rows = []

    def compare(label, text, baseline=True):
        native = timed(rg.sanitize_log_text, text)
        if baseline:
            assert rg.sanitize_log_text(text) == re_chain(text), label
            base = timed(re_chain, text, budget=2.0, max_runs=50)
            rows.append((label, len(text), native, base))
        else:
            rows.append((label, len(text), native, None))

    compare("realistic panel log", realistic_log(48_000, rng))
    for unit, name in (("a.", "'a.' repeated"), ("a-", "'a-' repeated"), ("a/", "'a/' repeated"),
                       ("\\", "backslash run"), ("a@", "'a@' repeated")):
        small = unit * (48_000 // len(unit))
        t0 = time.perf_counter()
        re_chain(small)
        slow = time.perf_counter() - t0 > SLOW_BASELINE
        compare(f"{name}", small)
        compare(f"{name}", unit * (1_000_000 // len(unit)), baseline=not slow)

    records = realistic_records(1000, rng)
    assert rg.format_panel_logs(records) == python_panel(records)
    panel_native = timed(rg.format_panel_logs, records)
    panel_python = timed(python_panel, records)

    print(f"machine: {cpu_name()}, {os.cpu_count()} CPUs, "
          f"Python {platform.python_version()}")
    print(f"{'input':28} {'chars':>9} {'native':>11} {'re.sub chain':>14} {'ratio':>8}")
    for label, size, native, base in rows:
        if base is None:
            print(f"{label:28} {size:>9,} {native * 1e3:>9.3f}ms {'skipped*':>14} {'':>8}")
        else:
            print(f"{label:28} {size:>9,} {native * 1e3:>9.3f}ms {base * 1e3:>12.3f}ms {base / native:>7.1f}x")
    print(f"{'format_panel_logs, 1000 rec':28} {'':>9} {panel_native * 1e3:>9.3f}ms "
          f"{panel_python * 1e3:>12.3f}ms {panel_python / panel_native:>7.1f}x   (baseline: Python loop)")
    print(f"* re is quadratic on this input (over {SLOW_BASELINE * 1e3:.0f} ms at 48,000 chars); "
          "at 1,000,000 chars it would run for minutes, so its time is not measured.")


if __name__ == "__main__":
    main()
