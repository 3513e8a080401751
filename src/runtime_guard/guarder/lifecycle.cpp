// Start-up, shutdown and the flush: one session row per process, rows of crashed runs closed as
// stale at the next start, the start-up flush on a thread, the shutdown flush in line; both
// swallow every ordinary exception. One flush at a time (`_flush_lock`, taken before `_lock`);
// `_lock` is never held across the upload, so a slow server never holds up a session.
#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/call.hpp"
#include "guarder/guarder.hpp"
#include "helpers/constants.hpp"
#include "threads/threads.hpp"

namespace rg {
// Set on the thread `_spawn_flush` starts, so the flush on it knows nobody waits for it.
constexpr const char* kBackgroundFlushMark = "_orlune_background_flush";
Answer on_background_flush_thread() {
  RG_LET(current, call_method(G("threading"), S("current_thread")));
  RG_LET(mark, attr_or(current.get(), S(kBackgroundFlushMark), Py_False));
  return answer(PyObject_IsTrue(mark.get()));
}

namespace {
// Beyond the wait for a running flush and the shutdown POST (each the flush timeout).
constexpr double kShutdownSlack = 1.0;
int set_items(PyObject* row, std::initializer_list<Kw> items) {
  for (const Kw& item : items) RG_CHECK_OK(PyObject_SetItem(row, item.name, item.value));
  return 0;
}
Answer component_enabled(PyObject* self) {
  RG_LET(enabled, attr(self, S("_enabled")));
  return answer(PyObject_IsTrue(enabled.get()));
}
Answer uploads_allowed(PyObject* self) {
  const Answer on = component_enabled(self);
  if (on != Answer::kYes) return on;
  RG_LET(env_on, call(G("_telemetry_on")));
  return answer(PyObject_IsTrue(env_on.get()));
}

// A session that ran, even in part, while the user had opted out is kept on this machine for
// good: the mark travels with the row through the store, and no flush ever sends it.
int mark_opted_out(PyObject* row) { return PyObject_SetItem(row, S("opted_out"), Py_True); }
int start_up(PyObject* self) {
  RG_CHECK_OK(mark_store_unread(self));
  RG_CHECK(call_method(self, S("_reload_flags")));
  RG_CHECK_OK(make_usage_dir());
  const Answer allowed = uploads_allowed(self);
  RG_CHECK(allowed != Answer::kFailed);
  {
    // One read-modify-write of the store: no other instance writes between our load and write,
    // or sees our row before our session lock protects it; a hung holder costs one wait.
    RG_LET(store, G("_SESSIONS_FILE"));
    ThreadDeadline deadline(constants::kStoreLockWait);
    StoreLock lock;
    RG_CHECK_OK(lock.acquire(store.get(), false));
    RG_CHECK(call_method(self, S("_load_store")));
    RG_CHECK_OK(mark_store_loaded(self));
    RG_CHECK(call_method(self, S("_close_stale_sessions")));
    RG_CHECK(call_method(self, S("_start_session")));
    if (allowed == Answer::kNo) {
      RG_LET(current, call_method(self, S("_current_session")));
      if (current.get() != Py_None) RG_CHECK_OK(mark_opted_out(current.get()));
    }
    RG_CHECK_OK(hold_session_lock(self));
    RG_CHECK(call_method(self, S("_persist")));
  }
  // Spawned on the setting alone: the flush itself honours the environment switches.
  const Answer on = component_enabled(self);
  RG_CHECK(on != Answer::kFailed);
  if (on == Answer::kNo) return 0;
  RG_CHECK(call_method(self, S("_spawn_flush"), G("_STARTUP_FLUSH_TIMEOUT")));
  return 0;
}

RG_DEF(Method, 2, initialize, "initialize(self)",
       "Start this process's session: mark sessions of crashed runs stale, record the new\n"
       "one in the store and, when telemetry is on, flush pending rows on a background thread.\n\n"
       "Returns True, also when start-up failed (the failure is logged).")
Ref initialize(PyObject* self) {
  if (start_up(self) < 0) {
    RG_LET(exc, catch_ordinary());
    RG_CHECK(log_exception("RuntimeGuarder initialize failed; continuing without telemetry",
                           exc.get()));
  }
  RG_LET(states, G("ComponentState"));
  RG_LET(initialized, attr(states, S("INITIALIZED")));
  RG_CHECK(call_method(self, S("set_state"), initialized));
  return boolean(true);
}

int close_current_locked(PyObject* self, PyObject* now, bool opted) {
  RG_LET(current, call_method(self, S("_current_session")));
  if (PyObject* row = current.get(); row != Py_None) {
    RG_CHECK_OK(set_items(row, {{S("ended_at"), now}, {S("ended_cleanly"), Py_True}}));
    RG_LET(started, mapping_get(row, S("started_at"), S("")));
    RG_LET(duration, call(G("_duration_s"), started, now));
    RG_CHECK_OK(set_items(row, {{S("duration_s"), duration.get()}, {S("flushed"), Py_False}}));
    RG_LET(log_text, call_method(self, S("_capture_logs")));
    RG_CHECK_OK(PyObject_SetItem(row, S("log_text"), log_text.get()));
    if (opted) RG_CHECK_OK(mark_opted_out(row));
  }
  RG_CHECK(call_method(self, S("_persist_unlocked")));
  return 0;
}

int shut_down(PyObject* self) {
  RG_CHECK_OK(mark_unread_if_never_started(self));
  RG_CHECK(call_method(self, S("_reload_flags")));
  const Answer allowed = uploads_allowed(self);
  RG_CHECK(allowed != Answer::kFailed);
  // Read once: the same value bounds the wait and the shutdown flush.
  RG_LET(timeout, G("_SHUTDOWN_FLUSH_TIMEOUT"));
  const double seconds = timeout_seconds(timeout.get(), constants::kShutdownFlushTimeout);
  // Shared by the wait for a running flush, the store writes and the shutdown POST.
  ThreadDeadline deadline(2 * seconds + kShutdownSlack);
  // A flush still sending the row (the start-up one) must not see it change, nor hold the exit.
  RG_LET(flush_lock, attr(self, S("_flush_lock")));
  RG_LET(limit, floating(seconds));
  RG_LET(acquired, call_kw(attr(flush_lock, S("acquire")), {}, {{S("timeout"), limit.get()}}));
  RG_TRUTH(flush_done, acquired.get());
  if (flush_done) RG_CHECK(call_method(flush_lock, S("release")));
  RG_LET(now, call(G("_utcnow_iso")));
  // A lock whose __exit__ swallows the block's exception lets shutdown go on after the block.
  RG_LET(lock, attr(self, S("_lock")));
  const bool opted = allowed == Answer::kNo;
  RG_CHECK_OK(with_lock(lock.get(), [&] { return close_current_locked(self, now.get(), opted); }));
  if (!flush_done) {
    RG_CHECK(log_at(S("debug"), "Usage flush still running at shutdown; the closed session "
                                "stays pending for the next start"));
    return 0;
  }
  const Answer on = component_enabled(self);
  RG_CHECK(on != Answer::kFailed);
  if (on == Answer::kNo) return 0;
  RG_LET(flush, attr(self, S("_flush")));
  RG_CHECK(call_kw(flush, {}, {{S("timeout"), timeout.get()}, {S("wait"), Py_True}}));
  return 0;
}

RG_DEF(Method, 3, cleanup, "cleanup(self)",
       "Close this process's session with its redacted log text and, when telemetry is on,\n"
       "flush pending rows with a short bounded wait.\n\n"
       "Returns None; failures are logged at debug level, never raised.")
Ref cleanup(PyObject* self) {
  if (shut_down(self) < 0) {
    RG_CHECK_OK(log_ordinary("RuntimeGuarder cleanup flush failed"));
  }
  if (release_session_lock(self) < 0 && !swallow_ordinary()) return {};
  return none();
}

RG_DEF(Method, 9, _current_session, "_current_session(self)", "")
Ref _current_session(PyObject* self) {
  RG_LET(current_id, attr(self, S("_current_id")));
  RG_TRUTH(has_id, current_id.get());
  if (!has_id) return none();
  // for row in reversed(self._sessions): a host's sequence type reverses itself
  RG_LET(sessions, attr(self, S("_sessions")));
  RG_LET(newest_first, call(reinterpret_cast<PyObject*>(&PyReversed_Type), sessions));
  RG_LET(iter, steal(PyObject_GetIter(newest_first.get())));
  while (Ref row = steal(PyIter_Next(iter.get()))) {
    RG_LET(id, mapping_get(row.get(), S("session_id")));
    const int same = PyObject_RichCompareBool(id.get(), current_id.get(), Py_EQ);
    RG_CHECK_OK(same);
    if (same) return row;
  }
  return PyErr_Occurred() ? Ref() : none();
}

RG_DEF(Method, 10, _close_stale_sessions, "_close_stale_sessions(self)",
       "Mark sessions left open after a crash. Runtime is unknown without a close.")
Ref _close_stale_sessions(PyObject* self) {
  RG_LET(sessions, attr(self, S("_sessions")));
  RG_LET(live, live_session_ids());
  RG_LET(iter, steal(PyObject_GetIter(sessions.get())));
  RG_LET(zero, integer(0));
  while (Ref row = steal(PyIter_Next(iter.get()))) {
    int closed = row_flag(row.get(), S("ended_at"));
    if (closed == 0) closed = row_flag(row.get(), S("stale"));
    RG_CHECK_OK(closed);
    if (closed) continue;
    int alive = 0;  // a running process holds its row's session lock
    if (PySet_Size(live.get()) > 0) {
      RG_LET(id, mapping_get(row.get(), S("session_id")));
      alive = PyUnicode_Check(id.get()) ? PySet_Contains(live.get(), id.get()) : 0;
    }
    RG_CHECK_OK(alive);
    if (alive) continue;
    RG_CHECK_OK(set_items(row.get(), {{S("ended_cleanly"), Py_False}, {S("duration_s"), zero.get()},
                                      {S("stale"), Py_True}, {S("flushed"), Py_False}}));
  }
  return PyErr_Occurred() ? Ref() : none();
}

RG_DEF(Method, 11, _start_session, "_start_session(self)", "")
Ref _start_session(PyObject* self) {
  RG_LET(now, call(G("_utcnow_iso")));
  RG_LET(fresh, call_method(G("uuid"), S("uuid4")));
  RG_LET(id, steal(PyObject_Str(fresh.get())));
  RG_LET(zero, integer(0));
  RG_LET(row, dict_of({{S("session_id"), id.get()}, {S("started_at"), now.get()},
                       {S("ended_at"), S("")}, {S("duration_s"), zero.get()},
                       {S("ended_cleanly"), Py_False}, {S("flushed"), Py_False}}));
  RG_CHECK(call_method(attr(self, S("_sessions")), S("append"), row));
  // Only now: an id without its row would leave cleanup nothing to close. A row without the id
  // (a start that did not finish) stays open, to be closed as stale later, as after a crash.
  RG_CHECK_OK(PyObject_SetAttr(self, S("_current_id"), id.get()));
  return none();
}

// with self._lock: pending = [dict(row) for rows neither "flushed" nor "opted_out"]. When
// __exit__ swallows an error of the block, `pending` is unbound, as in Python.
List snapshot_pending(PyObject* self) {
  RG_LET(lock, attr(self, S("_lock")));
  List pending;
  RG_CHECK_OK(with_lock(lock.get(), [&]() -> int {
    List copies = List::fresh(PyList_New(0));
    RG_CHECK(copies);
    RG_LET(sessions, attr(self, S("_sessions")));
    RG_LET(iter, steal(PyObject_GetIter(sessions.get())));
    while (Ref row = steal(PyIter_Next(iter.get()))) {
      int skip = row_flag(row.get(), S("flushed"));
      if (skip == 0) skip = row_flag(row.get(), S("opted_out"));
      RG_CHECK_OK(skip);
      if (skip) continue;
      RG_LET(copy, call(reinterpret_cast<PyObject*>(&PyDict_Type), row));
      RG_CHECK_OK(PyList_Append(copies.get(), copy.get()));
    }
    RG_CHECK(!PyErr_Occurred());
    pending = std::move(copies);
    return 0;
  }));
  if (!pending)
    PyErr_SetString(PyExc_UnboundLocalError, "cannot access local variable 'pending' where it "
                                             "is not associated with a value");
  return pending;
}
int resolve_pair(PyObject* self, PyObject* method, Ref& first, Ref& second) {
  RG_LET(pair, call_method(self, method));
  return unpack_pair(pair.get(), first, second);
}

int flush_locked(PyObject* self, PyObject* timeout, PyObject* allow_empty) {
  List pending = snapshot_pending(self);
  RG_CHECK(pending);
  RG_TRUTH(allowed, allow_empty);
  if (pending.size() == 0 && !allowed) return 0;
  // While the user has opted out nothing leaves, not even rows recorded before.
  const Answer on = uploads_allowed(self);
  if (on != Answer::kYes) return on == Answer::kFailed ? -1 : 0;
  Ref url, api_key, token_id, plan;
  RG_CHECK_OK(resolve_pair(self, S("_endpoint"), url, api_key));
  RG_TRUTH(has_url, url.get());
  const int has_key = has_url ? PyObject_IsTrue(api_key.get()) : 0;
  RG_CHECK_OK(has_key);
  if (!has_url || !has_key) return 0;  // not configured: silent, unlike the light upload
  RG_CHECK_OK(resolve_pair(self, S("_token_fields"), token_id, plan));
  return upload_pending({self, url.get(), api_key.get(), token_id.get(), plan.get(), timeout,
                         allowed != 0},
                        pending);
}

// _flush_lock.acquire(blocking=wait). A host thread waits for another flush at most this
// flush's own timeout: that one may be the start-up flush, which a server can hold at will.
Ref acquire_flush_lock(PyObject* flush_lock, PyObject* wait, PyObject* timeout) {
  RG_LET(acquire, attr(flush_lock, S("acquire")));
  RG_TRUTH(blocking, wait);
  const Answer background = blocking ? on_background_flush_thread() : Answer::kYes;
  RG_CHECK(background != Answer::kFailed);
  if (background == Answer::kYes) return call_kw(acquire, {}, {{S("blocking"), wait}});
  const double seconds = timeout_seconds(timeout, constants::kShutdownFlushTimeout);
  RG_LET(limit, floating(ThreadDeadline::clip(seconds)));
  return call_kw(acquire, {}, {{S("blocking"), wait}, {S("timeout"), limit.get()}});
}

RG_DEF(Method, 14, _flush, "_flush(self, timeout=3.0, wait=False, allow_empty=False)", "")
Ref _flush(PyObject* self, PyObject* timeout, PyObject* wait, PyObject* allow_empty) {
  RG_LET(flush_lock, attr(self, S("_flush_lock")));
  RG_LET(acquired, acquire_flush_lock(flush_lock.get(), wait, timeout));
  RG_TRUTH(held, acquired.get());
  if (!held) return none();  // another flush is running: nothing to add
  bool raised = false;
  if (flush_locked(self, timeout, allow_empty) < 0) {
    // Not an ordinary exception (or a failing log): it passes, after the release below.
    raised = log_ordinary("Usage flush failed") < 0;
  }
  if (raised) {
    ErrorStash keep;
    if (!call_method(flush_lock, S("release"))) PyErr_WriteUnraisable(flush_lock.get());
    return {};
  }
  RG_CHECK(call_method(flush_lock, S("release")));
  return none();
}

RG_DEF(Method, 13, _spawn_flush, "_spawn_flush(self, timeout)", "")
Ref _spawn_flush(PyObject* self, PyObject* timeout) {
  RG_LET(target, attr(self, S("_flush")));
  RG_LET(flush_kwargs, dict_of({{S("timeout"), timeout}, {S("wait"), Py_False}}));
  RG_LET(thread, daemon_thread(target.get(), S("orlune-usage-flush"), flush_kwargs.get()));
  RG_CHECK_OK(PyObject_SetAttr(thread.get(), S(kBackgroundFlushMark), Py_True));
  RG_CHECK(call_method(thread, S("start")));
  return none();
}
}  // namespace
}  // namespace rg
