// Light threads: daemon workers kept in `_light_threads` while they run, so `flush_runtime_guard`
// (also at exit) can give them a bounded time; the registry's lock is held only to add, remove or
// copy. At most `_MAX_LIGHT_IN_FLIGHT` (a hot loop against a slow server); more starts are dropped.
// Also the bound of a wait on a host's timeout, and the locks made afresh in a forked child.
#include <algorithm>
#include <cmath>

#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/native.hpp"
#include "threads/threads.hpp"
#include "capi/call.hpp"

namespace rg {
Ref daemon_thread(PyObject* target, PyObject* name, PyObject* kwargs) {
  RG_LET(thread_cls, attr(G("threading"), S("Thread")));
  const Kw daemon{S("daemon"), Py_True};
  if (!kwargs) return call_kw(thread_cls, {}, {{S("target"), target}, {S("name"), name}, daemon});
  return call_kw(thread_cls, {},
                 {{S("target"), target}, {S("kwargs"), kwargs}, {S("name"), name}, daemon});
}

namespace {
constexpr double kJoinSlice = 0.25;  // seconds: the budget is checked at least this often

// with _light_threads_lock: body(_light_threads). Only C calls and collection paused: no signal
// handler or __del__ that reports an open runs while this thread holds the lock.
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

Answer full(PyObject* threads, Py_ssize_t bound) {
  const Py_ssize_t n = PyObject_Size(threads);
  return n < 0 ? Answer::kFailed : answer(n >= bound);
}

// A start dropped at the bound: one debug line per burst of drops.
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

// Whether the thread was added (not when full). The first one registers the exit-time wait.
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
    RG_CHECK(call_method(atexit, S("register"), G("flush_runtime_guard")));
    return set_global(S("_atexit_registered"), Py_True);
  });
  return done < 0 ? Answer::kFailed : added;
}

int forget_current_thread() {
  RG_LET(current, call_method(G("threading"), S("current_thread")));
  return discard(current.get());
}

// _runner(): the target, then the thread leaves the registry on every way out.
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
  // A start while the interpreter finalizes is dropped unseen: 3.11 would wait forever for a
  // thread that never runs, later versions refuse it, and logging that may fail into the caller.
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
  // Registered before it starts, so a flush never misses it; the registry may have filled.
  const Answer added = track(thread.get(), bound);
  if (added != Answer::kYes) return added == Answer::kFailed ? Ref() : drop(name, bound);
  if (Ref(call_method(thread, S("start")))) return none();
  if (PyErr_ExceptionMatches(PyExc_Exception)) finally_keep([&] { return discard(thread.get()); });
  return {};
}

namespace {
// The registered threads alive, but the caller's, in the set's order; `is_alive` (Python code,
// where a signal handler may run) is asked outside the lock.
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
  // Monotonic, so a clock stepped back cannot stretch it; negative is zero, 1e9 s is forever.
  ThreadDeadline deadline(std::min(std::max(0.0, seconds), 1e9));
  RG_LET(current, call_method(G("threading"), S("current_thread")));
  RG_CHECK_OK(join_live_threads(current.get()));
  return none();
}

namespace {
constexpr double kLongestWait = 1e9;  // below threading.TIMEOUT_MAX

// A number's seconds, or -1 when it is not a usable number. Clears any error.
double number_seconds(PyObject* value) {
  if (!PyNumber_Check(value) || PyComplex_Check(value)) return -1;
  const double s = PyFloat_AsDouble(value);
  if (s == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return -1;
  }
  if (std::isnan(s)) return -1;
  return std::clamp(s, 0.0, kLongestWait);
}

// A (connect, read) pair's summed seconds, or -1; items held first, as __float__ may change a list.
template <class Pair>
double pair_seconds(const Pair& pair) {
  if (!pair || pair.size() != 2) return -1;
  const Ref connect = borrow(pair.at(0)), read = borrow(pair.at(1));
  const double a = number_seconds(connect.get()), b = number_seconds(read.get());
  return a >= 0 && b >= 0 ? a + b : -1;
}
}  // namespace

double timeout_seconds(PyObject* timeout, double fallback) {
  double s = number_seconds(timeout);
  if (s < 0) s = pair_seconds(Tuple::probe(timeout));
  if (s < 0) s = pair_seconds(List::probe(timeout));
  return s >= 0 ? s : fallback;
}

namespace {
// A weakref.WeakSet in the module dict, made with the hook: its presence says it is registered.
constexpr const char* kLiveComponents = "_live_components";

// owner.<name> = threading.Lock(), or the module global.
int reset_lock(PyObject* owner, PyObject* name) {
  RG_LET(lock, call_method(G("threading"), S("Lock")));
  return owner ? PyObject_SetAttr(owner, name, lock.get()) : set_global(name, lock.get());
}

// Only threads alive in the child stay (threading's own earlier hook has marked the rest).
int reset_light_threads() {
  const List alive = live_threads(nullptr);
  RG_CHECK(alive);
  RG_LET(kept, steal(PySet_New(alive.get())));
  return set_global(S("_light_threads"), kept.get());
}

int reset_after_fork() {
  if (reset_lock(nullptr, S("_auth_ready_lock")) < 0 ||
      reset_lock(nullptr, S("_light_threads_lock")) < 0 || reset_light_threads() < 0)
    return -1;
  RG_LET(live, G(kLiveComponents));
  RG_LET(iter, steal(PyObject_GetIter(live.get())));
  while (Ref component = steal(PyIter_Next(iter.get()))) {
    RG_CHECK_OK(reset_lock(component.get(), S("_lock")));
    RG_CHECK_OK(reset_lock(component.get(), S("_flush_lock")));
  }
  return PyErr_Occurred() ? -1 : 0;
}

// _after_fork_in_child(): a failure is logged, never raised into the child.
PyObject* after_fork_in_child(PyObject*, PyObject* const*) {
  if (reset_after_fork() < 0) {
    RG_CHECK_OK(log_ordinary("runtime_guard: lock reset after fork failed"));
  }
  Py_RETURN_NONE;
}
}  // namespace

int ensure_fork_hook() {
  PyObject* dict = PyModule_GetDict(module());
  RG_LET(key, str(kLiveComponents));
  const int present = PyDict_Contains(dict, key.get());
  if (present != 0) return present < 0 ? -1 : 0;
  RG_LET(live, call_method(import("weakref"), S("WeakSet")));
  RG_CHECK_OK(PyDict_SetItem(dict, key.get(), live.get()));
  RG_LET(hook, make_closure("_after_fork_in_child", nullptr, after_fork_in_child, Py_None));
  RG_LET(os, G("os"));
  // Windows has no fork and no os.register_at_fork: nothing to reset there.
  Ref register_at_fork;
  const Answer has_fork = lookup_attr(os.get(), S("register_at_fork"), register_at_fork);
  if (has_fork != Answer::kYes) return has_fork == Answer::kFailed ? -1 : 0;
  RG_CHECK(call_kw(register_at_fork, {}, {{S("after_in_child"), hook.get()}}));
  return 0;
}

int track_for_fork(PyObject* component) {
  RG_CHECK_OK(ensure_fork_hook());
  RG_CHECK(call_method(G(kLiveComponents), S("add"), component));
  return 0;
}
}  // namespace rg
