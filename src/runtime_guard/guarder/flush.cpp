// The component's flush: upload the pending session rows, encrypted, and, when the server
// accepts them, mark them flushed in the store. One POST carries them all unless that would be
// over the upload bound (flush_batch.hpp).
//
// One flush runs at a time (`_flush_lock`, taken before `_lock`). The store lock is held only
// to copy the pending rows and to mark and persist them, never across the encryption or the
// network call, so recording sessions is never held up by a slow server.
#include <chrono>

#include "guarder/upload_plan.hpp"
#include "guarder/class.hpp"
#include "guarder/session_item.hpp"
#include "component/store_rows.hpp"
#include "defaults/constants.hpp"
#include "capi/module_scope.hpp"
#include "capi/declare.hpp"
#include "capi/values.hpp"
#include "threads/daemon_thread.hpp"
#include "threads/thread_deadline.hpp"
#include "upload/body_size.hpp"
#include "upload/usage.hpp"

namespace rg {

namespace {

// Set on the thread `_spawn_flush` starts, so the flush on it knows nobody waits for it.
constexpr const char* kBackgroundFlushMark = "_orlune_background_flush";

// Copies (dict(row)) of the rows whose "flushed" is false or missing, in store order; rows
// marked "opted_out" are never among them.
Ref pending_copies(PyObject* self) {
  RG_LET(pending, steal(PyList_New(0)));
  RG_LET(sessions, attr(self, S("_sessions")));
  RG_LET(iter, steal(PyObject_GetIter(sessions.get())));
  while (Ref row = steal(PyIter_Next(iter.get()))) {
    const int done = row_flag(row.get(), S("flushed"));
    RG_CHECK_OK(done);
    if (done) continue;
    const int kept_local = row_flag(row.get(), S("opted_out"));
    RG_CHECK_OK(kept_local);
    if (kept_local) continue;  // recorded while the user had opted out: never sent
    RG_LET(copy, call(reinterpret_cast<PyObject*>(&PyDict_Type), row));
    RG_CHECK_OK(PyList_Append(pending.get(), copy.get()));
  }
  if (PyErr_Occurred()) return {};
  return pending;
}

// with self._lock: pending = [...]. When __exit__ swallows an error of the block, `pending`
// was never bound, and the flush fails on it as Python code would.
Ref snapshot_pending(PyObject* self) {
  RG_LET(lock, attr(self, S("_lock")));
  Ref pending;
  RG_CHECK_OK(with_lock(lock.get(), [&] {
    pending = pending_copies(self);
    return pending ? 0 : -1;
  }));
  if (!pending)
    PyErr_SetString(PyExc_UnboundLocalError,
                    "cannot access local variable 'pending' where it is not associated with a value");
  return pending;
}

// id_key(session_id) (None when missing) -> contents of the copies sent under that id. Keyed
// as the store merge keys rows, so an id that cannot be hashed (a list in a hand-edited store)
// does not stop the marking of every row sent with it.
Ref sent_by_id(PyObject* pending) {
  RG_LET(by_id, steal(PyDict_New()));
  const Py_ssize_t n = PyList_GET_SIZE(pending);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* copy = PyList_GET_ITEM(pending, i);
    RG_LET(raw_id, mapping_get(copy, S("session_id"), Py_None));
    RG_LET(id, id_key(raw_id.get()));
    RG_LET(content, row_content(copy));
    RG_LET(fresh, steal(PyList_New(0)));
    PyObject* contents = PyDict_SetDefault(by_id.get(), id.get(), fresh.get());  // borrowed
    RG_CHECK(contents);
    RG_CHECK_OK(PyList_Append(contents, content.get()));
  }
  return by_id;
}

// After a 200: mark the live rows that were sent as they are now, then persist. A row whose
// content changed while the POST was in flight (closed by cleanup, say) was not delivered in
// its current state; it stays pending so the next flush sends it.
int mark_delivered_locked(PyObject* self, PyObject* by_id) {
  RG_LET(sessions, attr(self, S("_sessions")));
  RG_LET(iter, steal(PyObject_GetIter(sessions.get())));
  while (Ref row = steal(PyIter_Next(iter.get()))) {
    RG_LET(raw_id, mapping_get(row.get(), S("session_id")));
    RG_LET(id, id_key(raw_id.get()));
    PyObject* contents = PyDict_GetItemWithError(by_id, id.get());
    if (!contents) {
      if (PyErr_Occurred()) return -1;
      continue;
    }
    Ref keep = borrow(contents);
    RG_LET(now, row_content(row.get()));
    int same = 0;
    for (Py_ssize_t i = 0; !same && i < PyList_GET_SIZE(keep.get()); ++i) {
      same = PyObject_RichCompareBool(now.get(), PyList_GET_ITEM(keep.get(), i), Py_EQ);
      RG_CHECK_OK(same);
    }
    if (same) RG_CHECK_OK(PyObject_SetItem(row.get(), S("flushed"), Py_True));
  }
  if (PyErr_Occurred()) return -1;
  RG_CHECK(call_method(self, S("_persist_unlocked")));
  return 0;
}

int mark_delivered(PyObject* self, PyObject* pending) {
  RG_LET(by_id, sent_by_id(pending));
  RG_LET(lock, attr(self, S("_lock")));
  return with_lock(lock.get(), [&] { return mark_delivered_locked(self, by_id.get()); });
}

// "<id> (<why>)" for the flush's one line about the rows it left out.
int note_left_out(PyObject* left_out, PyObject* copy, const char* why) {
  RG_LET(id, mapping_get(copy, S("session_id"), Py_None));
  RG_LET(entry, steal(PyUnicode_FromFormat("%.60R (%s)", id.get(), why)));
  return PyList_Append(left_out, entry.get());
}

// The items for the pending copies that fit one, and the copies they were built from. Any
// other row is noted in `left_out` and stays pending as it is: one bad row must not hold back
// every other row until they age out of the store unsent.
int build_items(PyObject* pending, Ref& items, Ref& sent, PyObject* left_out) {
  RG_CHECK(items = steal(PyList_New(0)));
  RG_CHECK(sent = steal(PyList_New(0)));
  const Py_ssize_t n = PyList_GET_SIZE(pending);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* copy = PyList_GET_ITEM(pending, i);
    const char* field = nullptr;
    Ref item = session_item(copy, field);
    if (!item) {
      if (PyErr_Occurred()) return -1;
      RG_CHECK_OK(note_left_out(left_out, copy, field));
      continue;
    }
    RG_CHECK_OK(PyList_Append(items.get(), item.get()));
    RG_CHECK_OK(PyList_Append(sent.get(), copy));
  }
  return 0;
}

int log_left_out(PyObject* left_out) {
  const Py_ssize_t n = PyList_GET_SIZE(left_out);
  if (n == 0) return 0;
  RG_LET(count, integer(n));
  RG_LET(sep, str(", "));
  RG_LET(which, steal(PyUnicode_Join(sep.get(), left_out)));
  RG_CHECK(log_at(S("debug"), "Usage flush left out %s pending row(s) the server cannot take; "
                              "they stay in the store: %s", count, which));
  return 0;
}

// Where this process's own row is among the rows sent (the newest copy with its id); -1 when
// it is not there.
Py_ssize_t own_row_index(PyObject* self, PyObject* sent) {
  RG_LET(current, attr_or(self, S("_current_id"), Py_None));
  RG_TRUTH(has_current, current.get());
  if (!has_current) return -1;
  for (Py_ssize_t i = PyList_GET_SIZE(sent) - 1; i >= 0; --i) {
    RG_LET(id, mapping_get(PyList_GET_ITEM(sent, i), S("session_id"), Py_None));
    const int same = PyObject_RichCompareBool(id.get(), current.get(), Py_EQ);
    RG_CHECK_OK(same);
    if (same) return i;
  }
  return -1;
}

// How many times a batch is chosen again when its sealed body is over the bound (a host
// whose envelope grows otherwise than estimated); after that nothing more is sent.
constexpr int kSealAttempts = 3;

// Chooses the next batch and seals it into `envelope` with `body` (the payload, its
// "sessions" set here). `batch` is empty when nothing left fits.
int seal_batch(UploadPlan& plan, PyObject* body, PyObject* items, const UsageSender& sender,
               PyObject* api_key, FallibleVector<Py_ssize_t>& batch, Ref& envelope) {
  for (int attempt = 1;; ++attempt) {
    RG_CHECK_OK(plan.choose(batch));
    if (attempt > kSealAttempts) RG_CHECK_OK(batch.assign(0, 0));
    RG_LET(chosen, pick(items, batch));
    RG_CHECK_OK(PyDict_SetItem(body, S("sessions"), chosen.get()));
    RG_CHECK(envelope = sender.seal(body, api_key));
    if (batch.size() == 0) return 0;
    const Py_ssize_t measured = body_bytes(envelope.get());
    RG_CHECK_OK(measured);
    if (plan.check(batch, measured)) return 0;
  }
}

// The flush waits on the wall clock unless it runs on its own start-up thread: nobody waits
// for that one, and a large backlog on a slow link may take longer than one timeout.
int on_background_flush_thread() {
  RG_LET(threading, G("threading"));
  RG_LET(current, call_method(threading, S("current_thread")));
  RG_LET(mark, attr_or(current.get(), S(kBackgroundFlushMark), Py_False));
  return PyObject_IsTrue(mark.get());
}

// Steps after the flush lock is held; -1 with the error set on failure.
int flush_locked(PyObject* self, PyObject* timeout, PyObject* allow_empty) {
  RG_LET(pending, snapshot_pending(self));
  const int allowed = PyObject_IsTrue(allow_empty);
  RG_CHECK_OK(allowed);
  if (PyList_GET_SIZE(pending.get()) == 0 && !allowed) return 0;
  // While the user has opted out nothing leaves, not even rows recorded before: those stay
  // pending until the opt-out is lifted.
  int on = uploads_allowed(self);
  if (on <= 0) return on;

  Ref url, api_key;
  {
    RG_LET(pair, call_method(self, S("_endpoint")));
    RG_CHECK_OK(unpack_pair(pair.get(), url, api_key));
  }
  const int has_url = PyObject_IsTrue(url.get());
  RG_CHECK_OK(has_url);
  const int has_key = has_url ? PyObject_IsTrue(api_key.get()) : 0;
  RG_CHECK_OK(has_key);
  if (!has_url || !has_key) return 0;  // not configured: silent, unlike the light upload

  Ref token_id, plan;
  {
    RG_LET(pair, call_method(self, S("_token_fields")));
    RG_CHECK_OK(unpack_pair(pair.get(), token_id, plan));
  }
  RG_LET(left_out, steal(PyList_New(0)));
  Ref items, sent;
  RG_CHECK_OK(build_items(pending.get(), items, sent, left_out.get()));
  if (PyList_GET_SIZE(sent.get()) == 0 && !allowed) return log_left_out(left_out.get());
  RG_LET(machine_id, call_method(self, S("_machine_id")));
  RG_LET(app_version, call_method(self, S("_app_version")));
  RG_LET(no_sessions, steal(PyList_New(0)));
  RG_LET(body, build_usage_body(machine_id.get(), token_id.get(), plan.get(), app_version.get(),
                                no_sessions.get()));

  // The start-up flush, which nobody waits for, sends what fits in successive uploads, oldest
  // first, within its timeout; the shutdown flush sends one, this session's row first.
  const int background = on_background_flush_thread();
  RG_CHECK_OK(background);
  const Py_ssize_t first = background ? -1 : own_row_index(self, sent.get());
  if (first == -1 && PyErr_Occurred()) return -1;
  UploadPlan batches;
  RG_CHECK_OK(batches.open(body.get(), items.get(), first));
  for (Py_ssize_t i : batches.too_large())
    RG_CHECK_OK(note_left_out(left_out.get(), PyList_GET_ITEM(sent.get(), i), "too large for one upload"));
  RG_CHECK_OK(log_left_out(left_out.get()));
  if (!batches.anything_left() && !allowed) return 0;

  UsageSender sender;
  RG_CHECK_OK(sender.open());
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::duration<double>(timeout_seconds(timeout, constants::kStartupFlushTimeout));
  for (bool first_upload = true;; first_upload = false) {
    FallibleVector<Py_ssize_t> batch;
    Ref envelope;
    RG_CHECK_OK(seal_batch(batches, body.get(), items.get(), sender, api_key.get(), batch, envelope));
    if (batch.size() == 0 && !(allowed && first_upload)) return 0;
    RG_LET(reply, sender.post(url.get(), api_key.get(), envelope.get(), timeout, false,
                              background ? Wait::PerOperation : Wait::Deadline));
    PyObject* status = PyTuple_GET_ITEM(reply.get(), 0);  // the exchange's own (status, body)
    RG_LET(ok, integer(200));
    const int accepted = PyObject_RichCompareBool(status, ok.get(), Py_EQ);
    RG_CHECK_OK(accepted);
    if (!accepted) return log_at(S("debug"), "Usage flush HTTP %s", status) ? 0 : -1;
    batches.done(batch);
    RG_LET(copies, pick(sent.get(), batch));
    RG_CHECK_OK(mark_delivered(self, copies.get()));
    if (!background || !batches.anything_left() || std::chrono::steady_clock::now() >= until) return 0;
  }
}

// _flush_lock.acquire(blocking=wait). A host thread that waits for another flush waits at
// most this flush's own timeout: that other flush may be the start-up one, which a server can
// hold for as long as it likes.
Ref acquire_flush_lock(PyObject* flush_lock, PyObject* wait, PyObject* timeout) {
  RG_LET(acquire, attr(flush_lock, S("acquire")));
  const int blocking = PyObject_IsTrue(wait);
  RG_CHECK_OK(blocking);
  const int background = blocking ? on_background_flush_thread() : 1;
  RG_CHECK_OK(background);
  if (background) return call_kw(acquire, {}, {{S("blocking"), wait}});
  RG_LET(seconds, floating(ThreadDeadline::clip(timeout_seconds(timeout, constants::kShutdownFlushTimeout))));
  return call_kw(acquire, {}, {{S("blocking"), wait}, {S("timeout"), seconds.get()}});
}

RG_DEF(Method, 14, _flush, "_flush(self, timeout=3.0, wait=False, allow_empty=False)", "")
Ref _flush(PyObject* self, PyObject* timeout, PyObject* wait, PyObject* allow_empty) {
  RG_LET(flush_lock, attr(self, S("_flush_lock")));
  RG_LET(acquired, acquire_flush_lock(flush_lock.get(), wait, timeout));
  const int held = PyObject_IsTrue(acquired.get());
  RG_CHECK_OK(held);
  if (!held) return none();  // another flush is running: nothing to add

  bool failed = false;
  if (flush_locked(self, timeout, allow_empty) < 0) {
    Ref exc = catch_ordinary();
    if (exc) failed = !log_exc_at(S("debug"), "Usage flush failed", exc.get());
    else failed = true;  // not an ordinary exception: it passes, after the release below
  }
  // Released on every path; the lock acquired is the one released.
  if (failed) {
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
