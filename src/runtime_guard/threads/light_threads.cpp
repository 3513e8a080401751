// Light threads: daemon workers for fire-and-forget uploads, kept in `_light_threads` while they
// run so `flush_runtime_guard` (also run at exit) can give them a bounded time to finish. The
// registry's lock is held only to add, remove or copy threads, never across a start, a join or a
// target. At most `_MAX_LIGHT_IN_FLIGHT` are tracked at once (a decorated function in a hot loop
// against a slow server would pile up a thread per call); further starts are dropped.
#include <algorithm>

#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/native.hpp"
#include "threads/threads.hpp"

namespace rg {

Ref daemon_thread(PyObject* target, PyObject* name, PyObject* kwargs) {
  RG_LET(threading, G("threading"));
  RG_LET(thread_cls, attr(threading, S("Thread")));
  const Kw daemon{S("daemon"), Py_True};
  if (!kwargs) return call_kw(thread_cls, {}, {{S("target"), target}, {S("name"), name}, daemon});
  return call_kw(thread_cls, {},
                 {{S("target"), target}, {S("kwargs"), kwargs}, {S("name"), name}, daemon});
}

namespace {

constexpr double kJoinSlice = 0.25;  // seconds: the budget is checked at least this often

// with _light_threads_lock: body(_light_threads). Bodies make only C calls on the set and the
// module dict, and collection is paused, so neither Python code nor a finalizer runs while the
// lock is held: a signal handler or a __del__ that reports an open never finds this thread
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

int discard(PyObject* thread) {
  return with_registry([&](PyObject* threads) -> int {
    RG_CHECK(call_method(threads, S("discard"), thread));
    return 0;
  });
}

// Whether `threads` already holds `bound` threads or more.
Answer full(PyObject* threads, Py_ssize_t bound) {
  const Py_ssize_t n = PyObject_Size(threads);
  return n < 0 ? Answer::kFailed : answer(n >= bound);
}

// A start dropped at the bound: one debug line per burst, the first drop since a light thread
// last started.
Ref drop(PyObject* name, Py_ssize_t bound) {
  int first = 0;
  RG_CHECK_OK(with_registry([&](PyObject*) -> int {
    RG_TRUTH(dropping, G("_light_dropping"));
    first = !dropping;
    return dropping ? 0 : set_global(S("_light_dropping"), Py_True);
  }));
  if (!first) return none();
  RG_LET(count, steal(PyLong_FromSsize_t(bound)));
  RG_CHECK(log_at(S("debug"),
                  "runtime_guard: light thread %s not started: %s already in flight (further "
                  "drops go unlogged until one starts again)",
                  name, count));
  return none();
}

// Whether the thread was added (not when the registry is full). The first one registers the
// exit-time wait.
Answer track(PyObject* thread, Py_ssize_t bound) {
  Answer added = Answer::kNo;
  const int done = with_registry([&](PyObject* threads) -> int {
    const Answer at_bound = full(threads, bound);
    if (at_bound != Answer::kNo) return at_bound == Answer::kFailed ? -1 : 0;
    RG_CHECK(call_method(threads, S("add"), thread));
    added = Answer::kYes;
    RG_TRUTH(dropping, G("_light_dropping"));
    if (dropping) RG_CHECK_OK(set_global(S("_light_dropping"), Py_False));
    RG_TRUTH(registered, G("_atexit_registered"));
    if (registered) return 0;
    RG_LET(atexit, G("atexit"));
    RG_LET(flush, G("flush_runtime_guard"));
    RG_CHECK(call_method(atexit, S("register"), flush));
    return set_global(S("_atexit_registered"), Py_True);
  });
  return done < 0 ? Answer::kFailed : added;
}

int forget_current_thread() {
  RG_LET(threading, G("threading"));
  RG_LET(current, call_method(threading, S("current_thread")));
  return discard(current.get());
}

// _runner(): the target, then the thread takes itself out of the registry on every way out.
PyObject* run_light_thread(PyObject* target, PyObject* const*) {
  if (!Ref(call(target))) {
    finally_keep(forget_current_thread);
    return nullptr;
  }
  RG_CHECK_OK(forget_current_thread());
  Py_RETURN_NONE;
}

}  // namespace

RG_DEF(Function, 2, _spawn_light_thread, "_spawn_light_thread(target, *, name)",
       "Start a daemon worker and track it for :func:`flush_runtime_guard`.")
Ref _spawn_light_thread(PyObject* target, PyObject* name) {
  // A start while the interpreter finalizes (a report from a finalizer at exit) is dropped
  // unseen: 3.11 would wait forever for a thread that never runs, later versions refuse it,
  // and logging the refusal then may itself fail into the caller.
#if PY_VERSION_HEX >= 0x030D0000
  if (Py_IsFinalizing()) return none();
#else
  if (_Py_IsFinalizing()) return none();  // the same check under its older name
#endif
  // A full registry drops the start before any work: no thread object, no preload.
  RG_LET(bound_obj, G("_MAX_LIGHT_IN_FLIGHT"));
  const Py_ssize_t bound = PyNumber_AsSsize_t(bound_obj.get(), PyExc_OverflowError);
  if (bound == -1 && PyErr_Occurred()) return {};
  RG_LET(threads, G("_light_threads"));
  const Answer at_bound = full(threads.get(), bound);
  if (at_bound != Answer::kNo) return at_bound == Answer::kFailed ? Ref() : drop(name, bound);
  RG_CHECK(call(G("_ensure_auth_ready")));
  RG_LET(runner,
         make_closure("_spawn_light_thread.<locals>._runner", nullptr, run_light_thread, target));
  RG_LET(thread, daemon_thread(runner.get(), name));
  // Registered before it starts, so a concurrent flush never misses a running thread; the
  // registry may have filled meanwhile.
  const Answer added = track(thread.get(), bound);
  if (added != Answer::kYes) return added == Answer::kFailed ? Ref() : drop(name, bound);
  if (Ref(call_method(thread, S("start")))) return none();
  if (PyErr_ExceptionMatches(PyExc_Exception)) finally_keep([&] { return discard(thread.get()); });
  return {};
}

namespace {

// The registered threads that are alive, in the set's order, leaving out the calling thread (a
// light thread that waits for the others never joins itself). The set is copied under the lock
// and asked outside it: `is_alive` is Python code, where a signal handler may run.
List live_threads(PyObject* current) {
  List registered;
  RG_CHECK_OK(with_registry([&](PyObject* threads) {
    registered = List::fresh(PySequence_List(threads));
    return registered ? 0 : -1;
  }));
  List live = List::fresh(PyList_New(0));
  if (!live || !registered) return live;  // a lock wrapper's __exit__ swallowed the copy's failure
  for (Py_ssize_t i = 0; i < registered.size(); ++i) {
    PyObject* thread = registered.at(i);
    if (thread == current) continue;
    RG_LET(alive, call_method(thread, S("is_alive")));
    RG_TRUTH(yes, alive.get());
    if (yes && PyList_Append(live.get(), thread) < 0) return {};
  }
  return live;
}

// Joins live threads in slices until none is left or this thread's deadline passes; 0 either way.
int join_live_threads(PyObject* current) {
  for (;;) {
    const List live = live_threads(current);
    if (!live) return -1;
    for (Py_ssize_t i = 0; i < live.size(); ++i) {
      const double slice = ThreadDeadline::clip(kJoinSlice);
      if (slice <= 0) return 0;
      RG_LET(join, attr(live.at(i), S("join")));
      RG_LET(timeout, floating(slice));
      RG_CHECK(call_kw(join, {}, {{S("timeout"), timeout.get()}}));
    }
    if (live.size() == 0 || ThreadDeadline::clip(kJoinSlice) <= 0) return 0;
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
  // On the monotonic clock: one stepped back (NTP, a host's frozen clock) must not stretch it.
  // A negative budget counts as zero; 1e9 s is forever.
  ThreadDeadline deadline(std::min(std::max(0.0, seconds), 1e9));
  RG_LET(threading, G("threading"));
  RG_LET(current, call_method(threading, S("current_thread")));
  RG_CHECK_OK(join_live_threads(current.get()));
  return none();
}

}  // namespace rg
