"""Open reporting: caller-side cost of the native module against the same work in Python.

Run by hand from the repository root (telemetry off, so each worker ends at once and the
numbers are the caller's share: the name, the worker and the thread start):

    ORLUNE_TELEMETRY=0 PYTHONPATH=. python3 bench/bench_open_report.py

The baseline is a pure-Python implementation of the same behaviour (below), measured in the
same run; both hand their worker the module's `_post_usage`. Then 20,000 open reports run
and the resident size is compared with the size after a warm-up.
"""

import atexit
import functools
import gc
import inspect
import os
import platform
import re
import statistics
import sys
import threading
import time

import orlune.core.runtime_guard as rg

# ---- the Python baseline ---------------------------------------------------------------------

_MAX_FEATURE_NAME = 120
_WHITESPACE = re.compile(r"\s+")
_light_threads = set()
_light_threads_lock = threading.Lock()
_atexit_registered = False


def _spawn_light_thread(target, *, name):
    global _atexit_registered
    rg._ensure_auth_ready()

    def _runner():
        try:
            target()
        finally:
            with _light_threads_lock:
                _light_threads.discard(threading.current_thread())

    thread = threading.Thread(target=_runner, name=name, daemon=True)
    with _light_threads_lock:
        _light_threads.add(thread)
        if not _atexit_registered:
            atexit.register(flush_python)
            _atexit_registered = True
    try:
        thread.start()
    except Exception:
        with _light_threads_lock:
            _light_threads.discard(thread)
        raise


def flush_python(timeout=2.0):
    end = time.time() + max(0.0, float(timeout))
    while True:
        with _light_threads_lock:
            live = [t for t in _light_threads if t.is_alive() and t is not threading.current_thread()]
        if not live:
            return
        remaining = end - time.time()
        if remaining <= 0:
            return
        for t in live:
            t.join(timeout=min(0.25, remaining))
            remaining = end - time.time()
            if remaining <= 0:
                return


def _clip_feature(name):
    text = _WHITESPACE.sub(" ", str(name or "").strip())
    if not text:
        return "unknown"
    return text[:_MAX_FEATURE_NAME]


def infer_open_name(depth=2):
    frame = inspect.currentframe()
    try:
        cur = frame
        for _ in range(max(1, int(depth))):
            if cur is not None:
                cur = cur.f_back
        if cur is None:
            return "unknown"
        func = cur.f_code.co_name
        self_obj = cur.f_locals.get("self")
        cls_obj = cur.f_locals.get("cls")
        if self_obj is not None:
            return _clip_feature(f"{type(self_obj).__name__}.{func}")
        if cls_obj is not None:
            return _clip_feature(f"{getattr(cls_obj, '__name__', None) or str(cls_obj)}.{func}")
        module = str(cur.f_globals.get("__name__") or "").strip()
        if module and module not in ("__main__", "builtins"):
            return _clip_feature(f"{module}.{func}")
        return _clip_feature(func)
    except Exception:
        return "unknown"
    finally:
        del frame


def report_open(name=None, *, depth=2):
    feature = _clip_feature(name) if name else infer_open_name(depth=depth)

    def _worker():
        try:
            row = rg._build_open_session(feature)  # the same worker as the module's
            status, data = rg._post_usage([row], timeout=2.0)
        except Exception:
            pass

    try:
        _spawn_light_thread(_worker, name="orlune-report-open")
    except Exception:
        pass


def runtimeguard(name=None):
    def _before_call(label):
        report_open(label)

    def _decorate(fn):
        label = _clip_feature(name) if name else _clip_feature(getattr(fn, "__qualname__", None) or fn.__name__)

        @functools.wraps(fn)
        def _wrapper(*args, **kwargs):
            _before_call(label)
            return fn(*args, **kwargs)
        return _wrapper
    return _decorate


# ---- measurement -----------------------------------------------------------------------------

class Caller:
    """Calls from a method, as library code would: inference names `Caller.<method>`."""

    def infer(self, fn, n):
        t0 = time.perf_counter()
        for _ in range(n):
            fn(1)
        return time.perf_counter() - t0

    def report(self, fn, n):
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        return time.perf_counter() - t0


def per_call(native, python, n, repeats):
    """Median seconds per call of each over `repeats` loops of `n` calls, the two loops taking
    turns so that drift in the machine's load falls on both alike."""
    tn, tp = [], []
    for _ in range(repeats):
        tn.append(native(n) / n)
        tp.append(python(n) / n)
    ratio = statistics.median(p / q for p, q in zip(tp, tn))
    return statistics.median(tn), statistics.median(tp), ratio


def plain_loop(fn, arg):
    def loop(n):
        t0 = time.perf_counter()
        for _ in range(n):
            fn(arg)
        return time.perf_counter() - t0
    return loop


def thread_loop(fn, flush):
    """Calls that start a thread: time the calls only, then let the workers end untimed."""
    def loop(n):
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        spent = time.perf_counter() - t0
        flush(10)
        return spent
    return loop


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    if os.environ.get("ORLUNE_TELEMETRY") != "0":
        print("run with ORLUNE_TELEMETRY=0 (the workers must not post)", file=sys.stderr)
        return 2
    caller = Caller()
    native_decorated = rg.runtimeguard("Viewer")(lambda: None)
    python_decorated = runtimeguard("Viewer")(lambda: None)
    cases = [
        ("_clip_feature('Tool.run')", plain_loop(rg._clip_feature, "Tool.run"),
         plain_loop(_clip_feature, "Tool.run"), 20000, 15),
        ("_clip_feature(messy, 60 chars)", plain_loop(rg._clip_feature, "  Segment\tation  tool \n" * 3),
         plain_loop(_clip_feature, "  Segment\tation  tool \n" * 3), 20000, 15),
        ("infer_open_name(1) from a method", lambda n: caller.infer(rg.infer_open_name, n),
         lambda n: caller.infer(infer_open_name, n), 20000, 15),
        ("report_open('Viewer')", thread_loop(lambda: rg.report_open("Viewer"), rg.flush_runtime_guard),
         thread_loop(lambda: report_open("Viewer"), flush_python), 200, 31),
        ("report_open() from a method", lambda n: (caller.report(rg.report_open, n), rg.flush_runtime_guard(10))[0],
         lambda n: (caller.report(report_open, n), flush_python(10))[0], 200, 31),
        ("decorated call", thread_loop(native_decorated, rg.flush_runtime_guard),
         thread_loop(python_decorated, flush_python), 200, 31),
    ]
    print(f"Python {platform.python_version()}, {platform.machine()}, {os.cpu_count()} CPUs")
    print(f"{'case':36} {'native':>10} {'python':>10} {'speed-up':>9}  (median of paired runs)")
    for label, native, python, n, repeats in cases:
        native(n // 10)  # warm up
        python(n // 10)
        tn, tp, ratio = per_call(native, python, n, repeats)
        print(f"{label:36} {tn * 1e6:8.2f}us {tp * 1e6:8.2f}us {ratio:8.2f}x")

    for _ in range(4):  # warm-up: allocator pools, thread stacks, caches
        for _ in range(500):
            rg.report_open("Memory")
        rg.flush_runtime_guard(10)
    gc.collect()
    before, objects = rss_kib(), len(gc.get_objects())
    for _ in range(100):
        for _ in range(200):
            rg.report_open("Memory")
        rg.flush_runtime_guard(10)
    gc.collect()
    after = rss_kib()
    print(f"20,000 open reports: resident {before} KiB -> {after} KiB ({after - before:+d} KiB), "
          f"gc objects {objects} -> {len(gc.get_objects())}, light threads left {len(rg._light_threads)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
