// The flush: upload the pending rows (flush_upload.cpp), mark what the server accepted. One
// flush runs at a time (`_flush_lock`, taken before `_lock`); `_lock` is never held across the
// network call, so a slow server never holds up a session.
#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/call.hpp"
#include "guarder/store.hpp"
#include "helpers/constants.hpp"
#include "guarder/class.hpp"
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
    Ref exc = catch_ordinary();
    raised = !exc || !log_exc_at(S("debug"), "Usage flush failed", exc.get());
  }
  if (raised) {
    ErrorStash keep;
    if (!call_method(flush_lock, S("release"))) PyErr_WriteUnraisable(flush_lock.get());
    return {};
  }
  RG_CHECK(call_method(flush_lock, S("release")));
  return none();
}

// The start-up flush on a daemon thread, neither kept nor joined.
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
