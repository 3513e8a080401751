// Light threads: short-lived daemon workers for fire-and-forget uploads, kept in the module's
// `_light_threads` set while they run so `flush_runtime_guard` (also run at exit through
// `atexit`) can give them a bounded time to finish.
//
// `_light_threads_lock` is held only to add, remove or copy threads, never across a start, a
// join or a target, so a worker can always take itself out while someone waits for it. At most
// `_MAX_LIGHT_IN_FLIGHT` threads are tracked at once; further starts are dropped.
#include <algorithm>
#include <chrono>

#include "helpers/constants.hpp"
#include "capi/module_scope.hpp"
#include "capi/native_closure.hpp"
#include "capi/declare.hpp"
#include "threads/daemon_thread.hpp"

namespace rg {

namespace {

constexpr double kJoinSlice = 0.25;  // seconds: the budget is checked at least this often

// Like a `finally` block (or an `except` block that re-raises): runs `cleanup` with the
// pending error set aside and puts the error back afterwards; an error of the cleanup itself
// takes its place, with the set-aside one as its context.
template <class Cleanup>
void finally_keep(Cleanup cleanup) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (cleanup() < 0) {
    if (!type) return;
    // The cleanup's error takes the set-aside one as its __context__, through public calls
    // only (the interpreter's own chaining helper is private and changes between versions).
    PyObject *type2, *value2, *tb2;
    PyErr_Fetch(&type2, &value2, &tb2);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(tb);
    Py_DECREF(type);
    PyErr_NormalizeException(&type2, &value2, &tb2);
    PyException_SetContext(value2, value);  // steals value
    PyErr_Restore(type2, value2, tb2);
    return;
  }
  PyErr_Restore(type, value, tb);
}

// with _light_threads_lock: body(_light_threads). Bodies make only C calls on the set and the
// module dict, and collection is paused, so neither Python code nor a finalizer runs while the
// lock is held: a signal handler or a __del__ that reports an open can never find this thread
// holding the lock it needs.
template <class Body>
int with_registry(Body&& body) {
  RG_LET(lock, G("_light_threads_lock"));
  return with_lock(lock.get(), [&]() -> int {
    GcPause quiet;
    RG_LET(threads, G("_light_threads"));
    return body(threads.get());
  });
}

// with _light_threads_lock: _light_threads.<method>(thread)
int registry_call(PyObject* method, PyObject* thread) {
  return with_registry([&](PyObject* threads) -> int {
    RG_CHECK(call_method(threads, method, thread));
    return 0;
  });
}

// How many light threads may be in flight at once (`_MAX_LIGHT_IN_FLIGHT`). A hot caller
// (a decorated function in a loop) against a slow server would otherwise pile up a thread and
// a connection per call; beyond the bound a start is dropped, as telemetry queues drop.
Py_ssize_t in_flight_bound() {
  RG_LET(bound, G("_MAX_LIGHT_IN_FLIGHT"));
  return PyNumber_AsSsize_t(bound.get(), PyExc_OverflowError);
}

// 1 when `threads` already holds `bound` threads or more.
int full(PyObject* threads, Py_ssize_t bound) {
  const Py_ssize_t n = PyObject_Size(threads);
  return n < 0 ? -1 : n >= bound;
}

// Under the lock: notes a dropped start; 1 when it opens a burst of drops (and is logged).
int note_drop_locked() {
  int dropping = global_truth(S("_light_dropping"));
  if (dropping != 0) return dropping < 0 ? -1 : 0;
  return set_global(S("_light_dropping"), Py_True) < 0 ? -1 : 1;
}

// A start dropped at the bound. One debug line per burst: the first drop since a light thread
// was last started.
int drop(PyObject* name, Py_ssize_t bound) {
  int first = 0;
  RG_CHECK_OK(with_registry([&](PyObject*) { return (first = note_drop_locked()) < 0 ? -1 : 0; }));
  if (!first) return 0;
  RG_LET(count, steal(PyLong_FromSsize_t(bound)));
  RG_CHECK(log_at(S("debug"),
                      "runtime_guard: light thread %s not started: %s already in flight (further "
                      "drops go unlogged until one starts again)",
                      name, count));
  return 0;
}

// Whether the interpreter is finalizing (`sys.is_finalizing()`). Public from 3.13; 3.11 and
// 3.12 export the same check under its older name.
bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

// Adds the thread and, the first time, registers the exit-time wait: 1 when added, 0 when
// the registry is full, -1 on error.
int track(PyObject* thread, Py_ssize_t bound) {
  int added = 0;
  int done = with_registry([&](PyObject* threads) -> int {
    int at_bound = full(threads, bound);
    if (at_bound != 0) return at_bound < 0 ? -1 : 0;
    RG_CHECK(call_method(threads, S("add"), thread));
    added = 1;
    int dropping = global_truth(S("_light_dropping"));
    if (dropping < 0 || (dropping && set_global(S("_light_dropping"), Py_False) < 0)) return -1;
    int registered = global_truth(S("_atexit_registered"));
    if (registered < 0) return -1;
    if (registered) return 0;
    RG_LET(atexit, G("atexit"));
    RG_LET(flush, G("flush_runtime_guard"));
    RG_CHECK(call_method(atexit, S("register"), flush));
    return set_global(S("_atexit_registered"), Py_True);
  });
  return done < 0 ? -1 : added;
}

int forget_current_thread() {
  RG_LET(threading, G("threading"));
  RG_LET(current, call_method(threading, S("current_thread")));
  return registry_call(S("discard"), current.get());
}

// _runner(): the target, then the thread takes itself out of the registry on every way out.
PyObject* run_light_thread(PyObject* target, PyObject* const*) {
  Ref result = call(target);
  if (!result) {
    finally_keep(forget_current_thread);
    return nullptr;
  }
  if (forget_current_thread() < 0) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

RG_DEF(Function, 2, _spawn_light_thread, "_spawn_light_thread(target, *, name)",
       "Start a daemon worker and track it for :func:`flush_runtime_guard`.")
Ref _spawn_light_thread(PyObject* target, PyObject* name) {
  // A start while the interpreter finalizes (a report from a finalizer at exit) is dropped
  // unseen: 3.11 would wait forever for a thread that never runs, later versions refuse it,
  // and logging the refusal then may itself fail into the caller.
  if (interpreter_finalizing()) return none();
  // A full registry drops the start before any work: no thread object, no preload.
  const Py_ssize_t bound = in_flight_bound();
  if (bound == -1 && PyErr_Occurred()) return {};
  {
    RG_LET(threads, G("_light_threads"));
    int at_bound = full(threads.get(), bound);
    if (at_bound < 0) return {};
    if (at_bound) return drop(name, bound) < 0 ? Ref() : none();
  }

  RG_LET(ensure, G("_ensure_auth_ready"));
  RG_CHECK(call(ensure));
  RG_LET(runner,
         make_closure("_spawn_light_thread.<locals>._runner", nullptr, run_light_thread, target));
  RG_LET(thread, daemon_thread(runner.get(), name));
  // Registered before it starts, so a concurrent flush never misses a running thread.
  int added = track(thread.get(), bound);
  if (added < 0) return {};
  if (!added) return drop(name, bound) < 0 ? Ref() : none();  // filled meanwhile
  Ref started = call_method(thread, S("start"));
  if (!started) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    finally_keep([&] { return registry_call(S("discard"), thread.get()); });
    return {};
  }
  return none();
}

namespace {

// Seconds on the monotonic clock. The wait is bounded on it rather than on the wall clock: a
// clock stepped back (an NTP correction, a frozen clock in a host's tests) must not stretch
// the exit-time wait.
double monotonic_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The registered threads that are alive, in the set's order, leaving out the calling thread:
// a light thread that waits for the others never joins itself. The set is copied under the
// lock and asked outside it: `is_alive` is Python code, where a signal handler may run.
Ref live_threads(PyObject* current) {
  Ref registered;
  if (with_registry([&](PyObject* threads) {
        registered = steal(PySequence_List(threads));
        return registered ? 0 : -1;
      }) < 0)
    return {};
  RG_LET(live, steal(PyList_New(0)));
  if (!registered) return live;  // a lock wrapper's __exit__ swallowed the copy's failure
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(registered.get()); ++i) {
    PyObject* thread = PyList_GET_ITEM(registered.get(), i);
    if (thread == current) continue;
    RG_LET(alive, call_method(thread, S("is_alive")));
    RG_TRUTH(yes, alive.get());
    if (yes && PyList_Append(live.get(), thread) < 0) return {};
  }
  return live;
}

int join(PyObject* thread, double seconds) {
  RG_LET(join_method, attr(thread, S("join")));
  RG_LET(timeout, floating(seconds));
  RG_CHECK(call_kw(join_method, {}, {{S("timeout"), timeout.get()}}));
  return 0;
}

// Joins live threads in slices until none is left or the deadline passes; 0 either way.
int wait_until(double end, PyObject* current) {
  for (;;) {
    RG_LET(live, live_threads(current));
    if (PyList_GET_SIZE(live.get()) == 0) return 0;
    double remaining = end - monotonic_now();
    if (remaining <= 0) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(live.get()); ++i) {
      if (join(PyList_GET_ITEM(live.get(), i), std::min(kJoinSlice, remaining)) < 0) return -1;
      remaining = end - monotonic_now();
      if (remaining <= 0) return 0;
    }
  }
}

}  // namespace

RG_DEF(Function, 3, flush_runtime_guard, "flush_runtime_guard(timeout=2.0)",
       "Wait briefly for in-flight open-report workers.\n"
       "\n"
       "Call at the end of short scripts that need the uploads to finish before exit. It is\n"
       "also registered automatically via ``atexit`` when the first worker starts.")
Ref flush_runtime_guard(PyObject* timeout) {
  RG_LET(converted, steal(PyNumber_Float(timeout)));  // float(timeout): its errors are the caller's
  const double seconds = PyFloat_AsDouble(converted.get());
  if (seconds == -1.0 && PyErr_Occurred()) return {};
  const double end = monotonic_now() + std::max(0.0, seconds);  // a negative budget counts as zero
  RG_LET(threading, G("threading"));
  RG_LET(current, call_method(threading, S("current_thread")));
  RG_CHECK_OK(wait_until(end, current.get()));
  return none();
}

}  // namespace rg
