"""Light threads: the registry, the one-time exit hook, the bounded wait, and exit safety."""

import datetime
import threading
import time
import types

import pytest

from conftest import run_python
from exit_safety import run_once
from support_upload import API_KEY, endpoint  # noqa: F401


@pytest.fixture
def registry(rg, monkeypatch):
    """A fresh thread set and exit-hook flag; atexit.register calls are recorded, not made."""
    registered = []
    monkeypatch.setattr(rg, "_light_threads", set())
    monkeypatch.setattr(rg, "_atexit_registered", False)
    monkeypatch.setattr(rg, "atexit", types.SimpleNamespace(register=registered.append))
    return registered


def test_thread_is_tracked_while_its_target_runs(rg, registry, monkeypatch):
    failures = []
    monkeypatch.setattr(threading, "excepthook", failures.append)
    go, seen = threading.Event(), {}

    def target():
        seen["thread"] = threading.current_thread()
        seen["tracked"] = seen["thread"] in rg._light_threads
        go.wait(10)

    def failing():
        raise ValueError("boom")

    assert rg._spawn_light_thread(target, name="orlune-test") is None
    (thread,) = rg._light_threads
    assert thread.daemon and thread.name == "orlune-test" and thread.is_alive()
    go.set()
    thread.join(10)
    assert seen == {"thread": thread, "tracked": True} and rg._light_threads == set()

    rg._spawn_light_thread(failing, name="orlune-test")
    rg.flush_runtime_guard(10)
    assert rg._light_threads == set()
    assert [type(f.exc_value) for f in failures] == [ValueError]  # the standard hook saw it
    assert registry == [rg.flush_runtime_guard]


def test_exit_hook_registered_once_from_many_threads(rg, registry):
    barrier = threading.Barrier(8)

    def spawn():
        barrier.wait(10)
        rg._spawn_light_thread(lambda: None, name="orlune-test")

    starters = [threading.Thread(target=spawn) for _ in range(8)]
    for t in starters:
        t.start()
    for t in starters:
        t.join(10)
    rg.flush_runtime_guard(10)
    assert registry == [rg.flush_runtime_guard] and rg._atexit_registered is True
    rg._spawn_light_thread(lambda: None, name="orlune-test")
    assert len(registry) == 1


def test_start_failure_is_raised_and_untracked(rg, registry):
    old = threading.stack_size(1 << 48)  # no such stack can be mapped: start() really fails
    try:
        with pytest.raises(RuntimeError):
            rg._spawn_light_thread(lambda: None, name="orlune-test")
    finally:
        threading.stack_size(old)
    assert rg._light_threads == set() and rg._atexit_registered is True


def test_signature(rg):
    with pytest.raises(TypeError, match="keyword-only argument: 'name'"):
        rg._spawn_light_thread(lambda: None)
    with pytest.raises(TypeError, match="positional"):
        rg._spawn_light_thread(lambda: None, "orlune-test")


def test_wait_is_bounded_and_returns_when_threads_end(rg, registry, monkeypatch):
    assert rg.flush_runtime_guard() is None  # nothing registered: at once
    release = threading.Event()
    rg._spawn_light_thread(lambda: release.wait(30), name="orlune-test")
    try:
        for budget in (0, -5, "0"):
            start = time.monotonic()
            rg.flush_runtime_guard(budget)
            assert time.monotonic() - start < 0.5
        start = time.monotonic()
        rg.flush_runtime_guard(timeout=0.6)
        assert 0.55 <= time.monotonic() - start < 3.0

        class SteppingBack(datetime.datetime):  # the wall clock set back an hour per reading
            readings = 0

            @classmethod
            def now(cls, tz=None):
                cls.readings += 1
                return datetime.datetime(2030, 1, 1, tzinfo=tz) - datetime.timedelta(hours=cls.readings)

        monkeypatch.setattr(rg, "datetime", SteppingBack)
        start = time.monotonic()
        rg.flush_runtime_guard(timeout=0.6)
        assert time.monotonic() - start < 3.0  # the bound holds whatever the wall clock does
    finally:
        release.set()
    with pytest.raises(ValueError):
        rg.flush_runtime_guard("soon")
    with pytest.raises(TypeError):
        rg.flush_runtime_guard(None)

    ends = threading.Event()  # a thread that ends after about 0.3 s
    rg._spawn_light_thread(lambda: ends.wait(30), name="orlune-test")
    timer = threading.Timer(0.3, ends.set)
    timer.start()
    start = time.monotonic()
    rg.flush_runtime_guard(20)
    assert time.monotonic() - start < 5.0 and rg._light_threads == set()


def test_wait_includes_threads_started_meanwhile(rg, registry):
    second_done = threading.Event()

    def second():
        time.sleep(0.5)  # the work being waited for
        second_done.set()

    def first():
        rg._spawn_light_thread(second, name="orlune-test")

    rg._spawn_light_thread(first, name="orlune-test")
    rg.flush_runtime_guard(20)
    assert second_done.is_set()


def test_wait_from_a_light_thread_skips_itself(rg, registry):
    release, seen = threading.Event(), {}
    rg._spawn_light_thread(lambda: release.wait(30), name="orlune-other")

    def waiter():
        start = time.monotonic()
        try:
            rg.flush_runtime_guard(0.6)  # waits for the other thread, never joins itself
        except Exception as exc:  # pragma: no cover - the failure being tested for
            seen["error"] = exc
        seen["waited"] = time.monotonic() - start

    rg._spawn_light_thread(waiter, name="orlune-waiter")
    for t in [t for t in rg._light_threads if t.name == "orlune-waiter"]:
        t.join(10)
    release.set()
    assert "error" not in seen and 0.55 <= seen["waited"] < 3.0


def test_exit_waits_for_a_short_script_report(endpoint, tmp_path):
    proc = run_python(
        """
        from orlune.core.runtime_guard import report_open
        report_open("LastWords")  # no explicit flush: the exit hook waits for it
        """,
        env={"HOME": str(tmp_path), "ORLUNE_SERVER_URL": endpoint.url + "/api/validate",
             "ORLUNE_SERVER_API_KEY": API_KEY},
    )
    assert proc.returncode == 0 and proc.stderr == ""
    logs = [s["log_text"] for r in endpoint.received for s in r.payload["sessions"]]
    assert len(logs) == 1 and logs[0].endswith(" INFO Opened LastWords")


def test_exit_with_reports_in_flight_is_clean(endpoint, tmp_path):
    code, out, err, in_flight = run_once(endpoint, tmp_path)
    assert in_flight == 2 and "finalizing" in out  # both replies arrived during finalization
    assert (code, err) == (0, "")


@pytest.mark.parametrize("logging_setup", ["", "import logging; logging.basicConfig(level=logging.DEBUG)"])
def test_reports_while_the_interpreter_shuts_down_are_dropped_unseen(endpoint, tmp_path, logging_setup):
    # One from an exit hook that runs after the module's wait, one from a finalizer at
    # shutdown. 3.11 never ran that thread and waited for it forever; later versions refuse
    # the start, and logging the refusal during finalization fails into the finalizer.
    proc = run_python(
        f"""
        {logging_setup}
        import atexit
        from orlune.core.runtime_guard import report_open
        report_open("Early")  # registers the module's exit wait first
        atexit.register(lambda: report_open("AtExit"))
        class Late:
            def __del__(self):
                report_open("AtShutdown")
        late = Late()
        late.cycle = late  # collected only while the interpreter finalizes
        """,
        env={"HOME": str(tmp_path), "ORLUNE_SERVER_URL": endpoint.url + "/api/validate",
             "ORLUNE_SERVER_API_KEY": API_KEY},
    )
    assert proc.returncode == 0
    if not logging_setup:
        assert proc.stderr == ""
    assert "Exception ignored" not in proc.stderr and "Logging error" not in proc.stderr
    logs = [s["log_text"] for r in endpoint.received for s in r.payload["sessions"]]
    assert any(text.endswith("Opened Early") for text in logs)
    assert not any(text.endswith("Opened AtShutdown") for text in logs)


def test_registry_lock_is_a_with_block(rg, registry, monkeypatch):
    """`with _light_threads_lock:` as Python runs it: a suppressing __exit__ resumes after the
    block, and an error in the runner's clean-up carries the target's error as its context."""
    from test_python_exactness import WithOnly

    failures = []
    monkeypatch.setattr(threading, "excepthook", failures.append)

    class RefusingDiscard(set):
        def discard(self, thread):
            raise KeyError("discard")

    class Refusing(RefusingDiscard):
        def add(self, thread):
            raise KeyError("add")

    monkeypatch.setattr(rg, "_light_threads_lock", WithOnly(suppress=True))
    monkeypatch.setattr(rg, "_light_threads", Refusing())
    rg._spawn_light_thread(lambda: None, name="orlune-suppressed")  # the failed add is swallowed
    for t in [t for t in threading.enumerate() if t.name == "orlune-suppressed"]:
        t.join(10)

    monkeypatch.setattr(rg, "_light_threads_lock", WithOnly())
    monkeypatch.setattr(rg, "_light_threads", RefusingDiscard())

    def failing():
        raise ValueError("target")

    rg._spawn_light_thread(failing, name="orlune-test")
    for t in list(rg._light_threads):
        t.join(10)
    (failure,) = failures
    assert failure.exc_type is KeyError and type(failure.exc_value.__context__) is ValueError
