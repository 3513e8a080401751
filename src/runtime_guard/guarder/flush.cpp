// The component's flush: upload the pending session rows, encrypted, and, when the server
// accepts them, mark them flushed in the store (in batches within the upload bound:
// flush_rows.hpp). One flush runs at a time (`_flush_lock`, taken before `_lock`). The store
// lock is held only to copy the pending rows and to mark and persist them, never across the
// encryption or the network call, so recording sessions is never held up by a slow server.
#include <chrono>

#include "capi/declare.hpp"
#include "capi/module_scope.hpp"
#include "capi/values.hpp"
#include "component/store_rows.hpp"
#include "defaults/constants.hpp"
#include "guarder/class.hpp"
#include "guarder/flush_rows.hpp"
#include "threads/daemon_thread.hpp"
#include "threads/thread_deadline.hpp"
#include "upload/body_size.hpp"
#include "upload/usage.hpp"

namespace rg {

namespace {

// Set on the thread `_spawn_flush` starts, so the flush on it knows nobody waits for it.
constexpr const char* kBackgroundFlushMark = "_orlune_background_flush";
// How many times a batch is chosen again when its sealed body is over the bound (a host whose
// envelope grows otherwise than estimated); after that nothing more is sent.
constexpr int kSealAttempts = 3;

// Copies (dict(row)) of the rows whose "flushed" is false or missing, in store order; rows
// marked "opted_out" (recorded while the user had opted out) are never among them.
List pending_copies(PyObject* self) {
  List pending = List::fresh(PyList_New(0));
  RG_LET(sessions, attr(self, S("_sessions")));
  RG_LET(iter, steal(PyObject_GetIter(sessions.get())));
  while (Ref row = steal(PyIter_Next(iter.get()))) {
    int skip = row_flag(row.get(), S("flushed"));
    if (skip == 0) skip = row_flag(row.get(), S("opted_out"));
    RG_CHECK_OK(skip);
    if (skip) continue;
    RG_LET(copy, call(reinterpret_cast<PyObject*>(&PyDict_Type), row));
    RG_CHECK_OK(PyList_Append(pending.get(), copy.get()));
  }
  return PyErr_Occurred() ? List() : std::move(pending);
}

// with self._lock: pending = [...]. When __exit__ swallows an error of the block, `pending`
// was never bound, and the flush fails on it as Python code would.
List snapshot_pending(PyObject* self) {
  RG_LET(lock, attr(self, S("_lock")));
  List pending;
  RG_CHECK_OK(with_lock(lock.get(), [&] { return (pending = pending_copies(self)) ? 0 : -1; }));
  if (!pending)
    PyErr_SetString(PyExc_UnboundLocalError,
                    "cannot access local variable 'pending' where it is not associated with a value");
  return pending;
}

// After a 200: mark the live rows that were sent as they are now, then persist. A row whose
// content changed while the POST was in flight (closed by cleanup, say) was not delivered in
// its current state; it stays pending so the next flush sends it. `by_id`: id_key(session_id)
// -> contents sent under that id (keyed as the store merge keys rows, so an id that cannot be
// hashed does not stop the marking of every row sent with it).
int mark_delivered_locked(PyObject* self, PyObject* by_id) {
  RG_LET(sessions, attr(self, S("_sessions")));
  RG_LET(iter, steal(PyObject_GetIter(sessions.get())));
  while (Ref row = steal(PyIter_Next(iter.get()))) {
    RG_LET(raw_id, mapping_get(row.get(), S("session_id")));
    RG_LET(id, id_key(raw_id.get()));
    List sent = List::probe_exact(PyDict_GetItemWithError(by_id, id.get()));
    if (!sent) {
      RG_CHECK(!PyErr_Occurred());
      continue;
    }
    RG_LET(now, row_content(row.get()));
    int same = 0;
    for (Py_ssize_t i = 0; !same && i < sent.size(); ++i)
      RG_CHECK_OK(same = PyObject_RichCompareBool(now.get(), sent.at(i), Py_EQ));
    if (same) RG_CHECK_OK(PyObject_SetItem(row.get(), S("flushed"), Py_True));
  }
  RG_CHECK(!PyErr_Occurred());
  RG_CHECK(call_method(self, S("_persist_unlocked")));
  return 0;
}

int mark_delivered(PyObject* self, const List& copies) {
  RG_LET(by_id, steal(PyDict_New()));
  for (Py_ssize_t i = 0; i < copies.size(); ++i) {
    RG_LET(raw_id, mapping_get(copies.at(i), S("session_id"), Py_None));
    RG_LET(id, id_key(raw_id.get()));
    RG_LET(content, row_content(copies.at(i)));
    RG_LET(fresh, steal(PyList_New(0)));
    PyObject* contents = PyDict_SetDefault(by_id.get(), id.get(), fresh.get());  // borrowed
    RG_CHECK(contents);
    RG_CHECK_OK(PyList_Append(contents, content.get()));
  }
  RG_LET(lock, attr(self, S("_lock")));
  return with_lock(lock.get(), [&] { return mark_delivered_locked(self, by_id.get()); });
}

// "<id> (<why>)" for the flush's one line about the rows it left out.
int note_left_out(PyObject* left_out, PyObject* copy, const char* why) {
  RG_LET(id, mapping_get(copy, S("session_id"), Py_None));
  RG_LET(entry, steal(PyUnicode_FromFormat("%.60R (%s)", id.get(), why)));
  return PyList_Append(left_out, entry.get());
}

int log_left_out(const List& left_out) {
  if (left_out.size() == 0) return 0;
  RG_LET(count, integer(left_out.size()));
  RG_LET(sep, str(", "));
  RG_LET(which, steal(PyUnicode_Join(sep.get(), left_out.get())));
  RG_CHECK(log_at(S("debug"), "Usage flush left out %s pending row(s) the server cannot take; "
                              "they stay in the store: %s", count, which));
  return 0;
}

// Where this process's own row is among the rows sent (the newest copy with its id); -1 when
// it is not there, or on error.
Py_ssize_t own_row_index(PyObject* self, const List& sent) {
  RG_LET(current, attr_or(self, S("_current_id"), Py_None));
  RG_TRUTH(has_current, current.get());
  for (Py_ssize_t i = has_current ? sent.size() - 1 : -1; i >= 0; --i) {
    RG_LET(id, mapping_get(sent.at(i), S("session_id"), Py_None));
    const int same = PyObject_RichCompareBool(id.get(), current.get(), Py_EQ);
    RG_CHECK_OK(same);
    if (same) return i;
  }
  return -1;
}

// Chooses the next batch and seals it into `envelope` with `body` (the payload, its
// "sessions" set here). `batch` is empty when nothing left fits.
int seal_batch(UploadPlan& plan, PyObject* body, const List& items, const UsageSender& sender,
               PyObject* api_key, Batch& batch, Ref& envelope) {
  for (int attempt = 1;; ++attempt) {
    RG_CHECK_OK(plan.choose(batch));
    if (attempt > kSealAttempts) batch.clear();
    RG_LET(chosen, pick(items, batch));
    RG_CHECK_OK(PyDict_SetItem(body, S("sessions"), chosen.get()));
    RG_CHECK(envelope = sender.seal(body, api_key));
    if (batch.size() == 0) return 0;
    const Py_ssize_t measured = body_bytes(envelope.get());
    RG_CHECK_OK(measured);
    if (plan.fits(batch, measured)) return 0;
  }
}

// The flush waits on the wall clock unless it runs on its own start-up thread: nobody waits
// for that one, and a large backlog on a slow link may take longer than one timeout.
Answer on_background_flush_thread() {
  RG_LET(current, call_method(G("threading"), S("current_thread")));
  RG_LET(mark, attr_or(current.get(), S(kBackgroundFlushMark), Py_False));
  return answer(PyObject_IsTrue(mark.get()));
}

// The identity pair `method` returns, unpacked; -1 with the error set.
int resolve_pair(PyObject* self, PyObject* method, Ref& first, Ref& second) {
  RG_LET(pair, call_method(self, method));
  return unpack_pair(pair.get(), first, second);
}

// Steps after the flush lock is held; -1 with the error set on failure.
int flush_locked(PyObject* self, PyObject* timeout, PyObject* allow_empty) {
  List pending = snapshot_pending(self);
  RG_CHECK(pending);
  RG_TRUTH(allowed, allow_empty);
  if (pending.size() == 0 && !allowed) return 0;
  // While the user has opted out nothing leaves, not even rows recorded before: those stay
  // pending until the opt-out is lifted.
  const Answer on = uploads_allowed(self);
  if (on != Answer::kYes) return on == Answer::kFailed ? -1 : 0;
  Ref url, api_key, token_id, plan;
  RG_CHECK_OK(resolve_pair(self, S("_endpoint"), url, api_key));
  RG_TRUTH(has_url, url.get());
  const int has_key = has_url ? PyObject_IsTrue(api_key.get()) : 0;
  RG_CHECK_OK(has_key);
  if (!has_url || !has_key) return 0;  // not configured: silent, unlike the light upload
  RG_CHECK_OK(resolve_pair(self, S("_token_fields"), token_id, plan));
  // The items for the pending copies that fit one, and the copies they were made from. Any
  // other row is noted and stays pending as it is.
  List left_out = List::fresh(PyList_New(0)), items = List::fresh(PyList_New(0));
  List sent = List::fresh(PyList_New(0));
  RG_CHECK(left_out && items && sent);
  for (Py_ssize_t i = 0; i < pending.size(); ++i) {
    const char* field = nullptr;
    Ref item = session_item(pending.at(i), field);
    if (!item) {
      RG_CHECK(!PyErr_Occurred());
      RG_CHECK_OK(note_left_out(left_out.get(), pending.at(i), field));
      continue;
    }
    RG_CHECK_OK(PyList_Append(items.get(), item.get()));
    RG_CHECK_OK(PyList_Append(sent.get(), pending.at(i)));
  }
  if (sent.size() == 0 && !allowed) return log_left_out(left_out);
  RG_LET(machine_id, call_method(self, S("_machine_id")));
  RG_LET(app_version, call_method(self, S("_app_version")));
  RG_LET(no_sessions, steal(PyList_New(0)));
  RG_LET(body, build_usage_body(machine_id.get(), token_id.get(), plan.get(), app_version.get(),
                                no_sessions.get()));
  // The start-up flush, which nobody waits for, sends what fits in successive uploads, oldest
  // first, within its timeout; the shutdown flush sends one, this session's row first.
  const Answer background = on_background_flush_thread();
  RG_CHECK(background != Answer::kFailed);
  const Py_ssize_t first = background == Answer::kYes ? -1 : own_row_index(self, sent);
  RG_CHECK(first >= 0 || !PyErr_Occurred());
  UploadPlan batches;
  RG_CHECK_OK(batches.open(body.get(), items, first));
  for (size_t k = 0; k < batches.too_large().size(); ++k) {
    PyObject* copy = sent.at(batches.too_large()[k]);
    RG_CHECK_OK(note_left_out(left_out.get(), copy, "too large for one upload"));
  }
  RG_CHECK_OK(log_left_out(left_out));
  if (!batches.anything_left() && !allowed) return 0;
  UsageSender sender;
  RG_CHECK_OK(sender.open());
  const double seconds = timeout_seconds(timeout, constants::kStartupFlushTimeout);
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (bool first_upload = true;; first_upload = false) {
    Batch batch;
    Ref envelope;
    RG_CHECK_OK(seal_batch(batches, body.get(), items, sender, api_key.get(), batch, envelope));
    if (batch.size() == 0 && !(allowed && first_upload)) return 0;
    const Wait wait = background == Answer::kYes ? Wait::PerOperation : Wait::Deadline;
    Tuple reply =
        Tuple::of(sender.post(url.get(), api_key.get(), envelope.get(), timeout, false, wait));
    RG_CHECK(reply);
    RG_LET(ok, integer(200));
    const int accepted = PyObject_RichCompareBool(reply.at(0), ok.get(), Py_EQ);
    RG_CHECK_OK(accepted);
    if (!accepted) return log_at(S("debug"), "Usage flush HTTP %s", reply.at(0)) ? 0 : -1;
    batches.done(batch);
    List copies = pick(sent, batch);
    RG_CHECK(copies);
    RG_CHECK_OK(mark_delivered(self, copies));
    if (background != Answer::kYes || !batches.anything_left()) return 0;
    if (std::chrono::steady_clock::now() >= until) return 0;
  }
}

// _flush_lock.acquire(blocking=wait). A host thread that waits for another flush waits at
// most this flush's own timeout: that other flush may be the start-up one, which a server can
// hold for as long as it likes.
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
  // Released on every path; the lock acquired is the one released.
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
