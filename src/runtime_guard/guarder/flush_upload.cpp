// One flush's uploads. A pending row whose values do not fit an item is left out and kept, so one
// damaged row never turns the server against the rest. A body stays within `_MAX_UPLOAD_BYTES`
// (front ends commonly refuse over 1 MiB; a backlog with full logs would never deliver again):
// all items in store order if they fit, else this session's row first (at shutdown), then oldest.
#include "guarder/guarder.hpp"

#include <chrono>
#include <cmath>

#include "capi/buffer.hpp"
#include "capi/scope.hpp"
#include "capi/call.hpp"
#include "helpers/constants.hpp"
#include "threads/threads.hpp"
#include "upload/usage.hpp"

namespace rg {
namespace {
using Batch = Buffer<Py_ssize_t>;  // indices of items, in store order
// Batches chosen again when a sealed body is over the bound; after that nothing more is sent.
constexpr int kSealAttempts = 3;
// Above this a duration is no longer exact in every JSON reader (a double's 53 bits).
constexpr long long kMaxDuration = 1LL << 53;
// int(row.get("duration_s") or 0), which must lie in 0..2**53.
Answer add_duration(PyObject* item, PyObject* row) {
  RG_LET(zero, integer(0));
  RG_LET(raw, or_else(mapping_get(row, S("duration_s"), Py_None), zero.get()));
  RG_LET(duration, steal(PyNumber_Long(raw.get())));
  int overflow = 0;
  const long long seconds = PyLong_AsLongLongAndOverflow(duration.get(), &overflow);
  if (seconds == -1 && PyErr_Occurred()) return failed;
  if (overflow || seconds < 0 || seconds > kMaxDuration) return Answer::kNo;
  RG_CHECK_OK(PyDict_SetItem(item, S("duration_s"), duration.get()));
  return Answer::kYes;
}

// The log text, when there is one: str(row["log_text"])[:_MAX_LOG_CHARS].
Answer add_log(PyObject* item, PyObject* row) {
  RG_LET(raw_log, mapping_get(row, S("log_text"), Py_None));
  RG_TRUTH(has_log, raw_log.get());
  if (!has_log) return Answer::kYes;
  Str log_text = Str::of(steal(PyObject_Str(raw_log.get())));
  RG_CHECK(log_text);
  if (log_text.size() == 0) return Answer::kYes;
  RG_LET(max_chars, G("_MAX_LOG_CHARS"));
  RG_LET(slice, steal(PySlice_New(nullptr, max_chars.get(), nullptr)));
  RG_LET(capped, steal(PyObject_GetItem(log_text.get(), slice.get())));
  if (!PyUnicode_Check(capped.get())) return Answer::kNo;
  RG_CHECK_OK(PyDict_SetItem(item, S("log_text"), capped.get()));
  return Answer::kYes;
}

// The item's keys in wire order; `field` names the step under way. The id and time stamps must
// be text: NaN, null or a number there is not one the server can take.
Answer fill(PyObject* item, PyObject* row, const char*& field) {
  for (PyObject* key : {S("session_id"), S("started_at"), S("ended_at")}) {
    field = PyUnicode_AsUTF8(key);
    RG_LET(value, mapping_get(row, key, S("")));
    if (!PyUnicode_Check(value.get())) return Answer::kNo;
    RG_CHECK_OK(PyDict_SetItem(item, key, value.get()));
  }
  field = "duration_s";
  if (const Answer fits = add_duration(item, row); fits != Answer::kYes) return fits;
  field = "ended_cleanly";
  RG_LET(clean_raw, mapping_get(row, S("ended_cleanly"), Py_False));
  RG_TRUTH(clean, clean_raw.get());
  RG_CHECK_OK(PyDict_SetItem(item, S("ended_cleanly"), clean ? Py_True : Py_False));
  field = "log_text";
  if (const Answer fits = add_log(item, row); fits != Answer::kYes) return fits;
  field = nullptr;
  return Answer::kYes;
}

// "<id> (<why>)" for the flush's one line about the rows it left out.
int note_left_out(PyObject* left_out, PyObject* copy, const char* why) {
  RG_LET(id, mapping_get(copy, S("session_id"), Py_None));
  RG_LET(entry, steal(PyUnicode_FromFormat("%.60R (%s)", id.get(), why)));
  return PyList_Append(left_out, entry.get());
}

// Batches within the upload bound. `sizes_[i]`: item i's JSON bytes; -1 once sent, or when too
// large for any upload.
class UploadPlan {
 public:
  // Measures the payload without sessions (`body`) and each item (`sent`: their rows; those too
  // large noted in `left_out`); `first`: the index to take first, or -1.
  int open(PyObject* body, const List& items, const List& sent, PyObject* left_out,
           Py_ssize_t first) {
    RG_LET(bound, G("_MAX_UPLOAD_BYTES"));
    bound_ = PyNumber_AsSsize_t(bound.get(), PyExc_OverflowError);
    if (bound_ == -1 && PyErr_Occurred()) return -1;
    bound_ = bound_ < 0 ? 0 : bound_;
    RG_CHECK_OK(base_ = json_bytes(body));  // "[]" included: n items add their bytes and n-1 commas
    first_ = first;
    for (Py_ssize_t i = 0; i < items.size(); ++i) {
      Py_ssize_t size = json_bytes(items.at(i));
      RG_CHECK_OK(size);
      if (estimate(size, 1) > bound_) {
        RG_CHECK_OK(note_left_out(left_out, sent.at(i), "too large for one upload"));
        size = -1;
      }
      RG_CHECK(sizes_.push(size));
    }
    return 0;
  }
  // The next batch among the items not yet sent (empty when nothing left fits).
  int choose(Batch& batch) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(sizes_.size());
    Py_ssize_t bytes = 0, count = 0;
    auto take = [&](Py_ssize_t i) {
      if (sizes_[i] < 0 || estimate(bytes + sizes_[i], count + 1) > bound_) return false;
      bytes += sizes_[i];
      ++count;
      return true;
    };
    // The first item is offered first, and the batch still lists its items in store order.
    const bool with_first = first_ >= 0 && first_ < n && take(first_);
    batch.clear();
    for (Py_ssize_t i = 0; i < n; ++i)
      if (i == first_ ? with_first : take(i)) RG_CHECK(batch.push(i));
    return 0;
  }
  // Whether the body sealed for `batch` is within the bound; if not, estimates grow to match.
  bool fits(const Batch& batch, Py_ssize_t measured) {
    if (measured <= bound_) return true;
    Py_ssize_t bytes = 0;
    for (size_t k = 0; k < batch.size(); ++k) bytes += sizes_[batch[k]];
    const Py_ssize_t expected = estimate(bytes, static_cast<Py_ssize_t>(batch.size()));
    scale_ *= static_cast<double>(measured) / static_cast<double>(expected > 0 ? expected : 1);
    scale_ *= 1.01;
    return false;
  }
  void done(const Batch& batch) {
    for (size_t k = 0; k < batch.size(); ++k) sizes_[batch[k]] = -1;
  }
  bool anything_left() const {
    for (size_t i = 0; i < sizes_.size(); ++i)
      if (sizes_[i] >= 0) return true;
    return false;
  }
 private:
  Py_ssize_t estimate(Py_ssize_t items_bytes, Py_ssize_t count) const {
    const Py_ssize_t plain = base_ + items_bytes + (count > 1 ? count - 1 : 0);
    return static_cast<Py_ssize_t>(std::ceil(static_cast<double>(envelope_bytes(plain)) * scale_));
  }
  Py_ssize_t bound_ = 0, base_ = 0, first_ = -1;
  double scale_ = 1.0;
  Batch sizes_;
};
List pick(const List& list, const Batch& batch) {
  List out = List::fresh(PyList_New(static_cast<Py_ssize_t>(batch.size())));
  for (size_t k = 0; out && k < batch.size(); ++k) out.set(k, borrow(list.at(batch[k])));
  return out;
}

// After a 200: mark flushed the live rows still as sent (one closed meanwhile stays pending),
// found by id_key as the store merge keys rows, so an unhashable id does not stop the marking.
int mark_delivered(PyObject* self, const List& copies) {
  RG_LET(by_id, steal(PyDict_New()));  // id -> contents sent under it
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
  return with_lock(lock.get(), [&]() -> int {
    RG_LET(sessions, attr(self, S("_sessions")));
    RG_LET(iter, steal(PyObject_GetIter(sessions.get())));
    while (Ref row = steal(PyIter_Next(iter.get()))) {
      RG_LET(raw_id, mapping_get(row.get(), S("session_id")));
      RG_LET(id, id_key(raw_id.get()));
      List sent = List::probe_exact(PyDict_GetItemWithError(by_id.get(), id.get()));
      RG_CHECK(sent || !PyErr_Occurred());
      if (!sent) continue;
      RG_LET(now, row_content(row.get()));
      int same = 0;
      for (Py_ssize_t i = 0; !same && i < sent.size(); ++i)
        RG_CHECK_OK(same = PyObject_RichCompareBool(now.get(), sent.at(i), Py_EQ));
      if (same) RG_CHECK_OK(PyObject_SetItem(row.get(), S("flushed"), Py_True));
    }
    RG_CHECK(!PyErr_Occurred());
    RG_CHECK(call_method(self, S("_persist_unlocked")));
    return 0;
  });
}

int log_left_out(const List& left_out) {
  if (left_out.size() == 0) return 0;
  RG_LET(count, integer(left_out.size()));
  RG_LET(which, steal(PyUnicode_Join(S(", "), left_out.get())));
  RG_CHECK(log_at(S("debug"), "Usage flush left out %s pending row(s) the server cannot take; "
                              "they stay in the store: %s", count, which));
  return 0;
}

// The index of this process's own row (the newest copy with its id) among `sent`, else -1.
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

// Chooses the next batch and seals it into `envelope` with `body`; empty when nothing fits.
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
}  // namespace

int upload_pending(const FlushUpload& job, const List& pending) {
  PyObject* self = job.self;
  // Items for the copies that fit one (`sent`: those copies); any other row stays pending.
  List left_out = List::fresh(PyList_New(0)), items = List::fresh(PyList_New(0));
  List sent = List::fresh(PyList_New(0));
  RG_CHECK(left_out && items && sent);
  for (Py_ssize_t i = 0; i < pending.size(); ++i) {
    const char* field = nullptr;
    Ref item = steal(PyDict_New());
    const Answer fits = item ? fill(item.get(), pending.at(i), field) : Answer::kFailed;
    RG_CHECK(fits != Answer::kFailed || swallow_ordinary());  // ordinary errors: does not fit
    if (fits != Answer::kYes) {
      RG_CHECK_OK(note_left_out(left_out.get(), pending.at(i), field));
      continue;
    }
    RG_CHECK_OK(PyList_Append(items.get(), item.get()));
    RG_CHECK_OK(PyList_Append(sent.get(), pending.at(i)));
  }
  if (sent.size() == 0 && !job.allow_empty) return log_left_out(left_out);
  RG_LET(machine_id, call_method(self, S("_machine_id")));
  RG_LET(app_version, call_method(self, S("_app_version")));
  RG_LET(no_sessions, steal(PyList_New(0)));
  RG_LET(body, build_usage_body(machine_id.get(), job.token_id, job.plan, app_version.get(),
                                no_sessions.get()));
  // The start-up flush, which nobody waits for, sends what fits in successive uploads within its
  // timeout, oldest first; the shutdown flush sends one, this session's row first.
  const Answer background = on_background_flush_thread();
  RG_CHECK(background != Answer::kFailed);
  const Py_ssize_t first = background == Answer::kYes ? -1 : own_row_index(self, sent);
  RG_CHECK(first >= 0 || !PyErr_Occurred());
  UploadPlan batches;
  RG_CHECK_OK(batches.open(body.get(), items, sent, left_out.get(), first));
  RG_CHECK_OK(log_left_out(left_out));
  if (!batches.anything_left() && !job.allow_empty) return 0;
  UsageSender sender;
  RG_CHECK_OK(sender.open());
  const double seconds = timeout_seconds(job.timeout, constants::kStartupFlushTimeout);
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (bool first_upload = true;; first_upload = false) {
    Batch batch;
    Ref envelope;
    RG_CHECK_OK(seal_batch(batches, body.get(), items, sender, job.api_key, batch, envelope));
    if (batch.size() == 0 && !(job.allow_empty && first_upload)) return 0;
    Tuple reply = Tuple::of(sender.post(job.url, job.api_key, envelope.get(), job.timeout, false,
                            background == Answer::kYes ? Wait::PerOperation : Wait::Deadline));
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
}  // namespace rg
