"""Open reports at the edges: from signal handlers and finalizers (which run on the thread they
interrupt, possibly while it holds one of the module's locks), and from hot callers."""

import logging
import threading
import types

import pytest

from conftest import RG_LOGGER, run_python
from support_upload import Hold, endpoint  # noqa: F401

# Each child prints "done" when its loop ends. A hang is a stretch of 40 s without progress,
# however slow the build: each loop step calls progress(), which re-arms faulthandler's timer;
# when it fires it dumps every thread and ends the child, so a failure shows where it hung.
_WATCHDOG = """
import faulthandler, gc, os, random, signal, sys, threading, time
def progress():
    faulthandler.dump_traceback_later(40, exit=True)
progress()
import orlune.core.runtime_guard as rg
"""
# The whole run is bounded too, far above what the slowest build needs.
_RUN_BOUND = 600


def assert_done(proc):
    assert proc.returncode == 0 and proc.stdout.strip().endswith("done"), proc.stdout + proc.stderr


@pytest.mark.posix
def test_report_open_from_a_signal_handler_never_waits_for_itself():
    # The handler lands in every stretch of the loop's own report_open and flush_runtime_guard
    # calls, the registry's sections included. The timer is one-shot, re-armed as a handler
    # ends for a random 1 to 3 times that handler's own measured cost: signals come as often as
    # the build's speed allows, yet never outrun the work, so handlers do not pile up in
    # handlers. Whatever the speed, the handler runs about once every other loop step.
    proc = run_python(_WATCHDOG + """
handled, stopping = [0], [False]

def handler(signum, frame):
    began = time.perf_counter()
    rg.report_open("from-signal")
    handled[0] += 1
    cost = time.perf_counter() - began
    if not stopping[0]:
        signal.setitimer(signal.ITIMER_REAL, max(cost, 1e-4) * random.uniform(1, 3))

signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 1e-4)
for _ in range(1500):
    progress()
    rg.report_open("loop")
    rg.flush_runtime_guard(0.01)
stopping[0] = True
signal.setitimer(signal.ITIMER_REAL, 0)
print(handled[0], handled[0] >= 300 and "done")
""", timeout=_RUN_BOUND)
    assert_done(proc)


def test_report_open_from_finalizers_never_waits_for_itself():
    # Each finalizer leaves new cyclic garbage behind, so every collection (at any allocation,
    # with the thresholds this low) runs one more report_open.
    proc = run_python(_WATCHDOG + """
reports = [0]

class Cycle:
    def __del__(self):
        reports[0] += 1
        rg.report_open("from-finalizer")
        if reports[0] < budget:
            again = Cycle()
            again.me = again

for threshold in (1, 2, 5):
    gc.set_threshold(threshold, 1, 1)
    budget = reports[0] + 2000
    for _ in range(800):
        progress()
        c = Cycle()
        c.me = c
        del c
        rg.report_open("loop")
        rg.flush_runtime_guard(0.01)
gc.set_threshold(700, 10, 10)
print(reports[0] > 1000 and "done")
""", timeout=_RUN_BOUND)
    assert_done(proc)


def test_a_reentered_lock_is_refused_not_waited_for():
    # The first auth load runs under _auth_ready_lock; a report made from inside it (as a
    # handler interrupting the import would) goes on without waiting. The component's _lock,
    # re-entered from code that runs under it, is refused; cleanup logs it and returns.
    proc = run_python(_WATCHDOG + """
import importlib.abc, logging
logging.basicConfig(level=logging.DEBUG, format="%(message)s", stream=sys.stdout)

class ReportDuringImport(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path, target=None):
        if name == "orlune.auth.validator":
            sys.meta_path.remove(self)
            rg.report_open("during-import")
        return None

sys.meta_path.insert(0, ReportDuringImport())
rg.report_open("first")
rg.flush_runtime_guard(5)
assert rg._auth_ready is True

from orlune.app import AppContext
guarder = rg.RuntimeGuarder(AppContext())
guarder.initialize()
guarder._capture_logs = lambda: (guarder._persist(), "")[1]
guarder.cleanup()
print("done")
""", env={"ORLUNE_TELEMETRY": "0"}, timeout=60)
    assert_done(proc)
    assert "lock already held by this thread" in proc.stdout


@pytest.fixture
def drops(rg, monkeypatch, rg_logs):
    """A fresh registry (the exit hook recorded, not registered); returns a function giving
    the drop lines logged so far."""
    monkeypatch.setattr(rg, "_light_threads", set())
    monkeypatch.setattr(rg, "_atexit_registered", False)
    monkeypatch.setattr(rg, "atexit", types.SimpleNamespace(register=lambda fn: None))
    monkeypatch.setattr(rg, "_light_dropping", False)
    return lambda: [r.getMessage() for r in rg_logs.records
                    if r.name == RG_LOGGER and r.levelno == logging.DEBUG
                    and "not started" in r.getMessage()]


def test_hot_caller_is_bounded_and_its_body_always_runs(rg, endpoint, drops):  # noqa: F811
    held = Hold()
    endpoint.reply_override = held
    runs = []

    @rg.runtimeguard("Hot")
    def hot(i):
        runs.append(i)
        return i

    def reporting():
        return sum(t.name == "orlune-report-open" for t in threading.enumerate())

    peak = 0
    try:
        for i in range(2000):
            assert hot(i) == i
            peak = max(peak, reporting())
        assert runs == list(range(2000))
        assert peak <= rg._MAX_LIGHT_IN_FLIGHT and len(rg._light_threads) == 32
        assert len(drops()) == 1 and "32 already in flight" in drops()[0]
    finally:
        held.release.set()
        rg.flush_runtime_guard(10)
    assert held.calls <= 32 and rg._light_threads == set()
    sent = held.calls
    hot(-1)  # below the bound again: reported as before
    rg.flush_runtime_guard(10)
    assert held.calls == sent + 1 and runs[-1] == -1


def test_bound_is_late_bound_and_nothing_changes_below_it(rg, drops, monkeypatch):
    monkeypatch.setattr(rg, "_MAX_LIGHT_IN_FLIGHT", 2)
    go = threading.Event()
    ran = []

    def target(n):
        return lambda: (ran.append(n), go.wait(10))

    for n in range(5):
        assert rg._spawn_light_thread(target(n), name="orlune-test") is None
    assert len(rg._light_threads) == 2 and len(drops()) == 1
    assert "orlune-test not started: 2 already in flight" in drops()[0]
    go.set()
    rg.flush_runtime_guard(10)
    assert sorted(ran) == [0, 1]

    go.clear()  # room again: started as before, and the next burst logs once more
    for n in range(5, 8):
        rg._spawn_light_thread(target(n), name="orlune-test")
    assert len(rg._light_threads) == 2 and len(drops()) == 2
    go.set()
    rg.flush_runtime_guard(10)
    assert sorted(ran) == [0, 1, 5, 6] and rg._light_threads == set()
