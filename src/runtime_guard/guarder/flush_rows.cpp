#include "guarder/flush_rows.hpp"

#include <cmath>

#include "capi/module_scope.hpp"
#include "capi/values.hpp"
#include "upload/body_size.hpp"

namespace rg {

namespace {

// Above this a duration is no longer exact in every JSON reader (a double's 53 bits).
constexpr long long kMaxDuration = 1LL << 53;

// item[key] = row.get(key, ""), which must be text: NaN, null or a number in a time stamp or
// id is not one the server can take.
Answer add_text(PyObject* item, PyObject* row, PyObject* key) {
  RG_LET(value, mapping_get(row, key, S("")));
  if (!PyUnicode_Check(value.get())) return Answer::kNo;
  RG_CHECK_OK(PyDict_SetItem(item, key, value.get()));
  return Answer::kYes;
}

// int(row.get("duration_s") or 0): a float is truncated, a text must spell a whole number; the
// result must lie in 0..2**53 (ordinary errors count as not fitting).
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

// The item's keys in wire order; `field` follows the step under way.
Answer fill(PyObject* item, PyObject* row, const char*& field) {
  for (PyObject* key : {S("session_id"), S("started_at"), S("ended_at")}) {
    field = PyUnicode_AsUTF8(key);
    if (const Answer fits = add_text(item, row, key); fits != Answer::kYes) return fits;
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

}  // namespace

Ref session_item(PyObject* row, const char*& field) {
  Ref item = steal(PyDict_New());
  const Answer fits = item ? fill(item.get(), row, field) : Answer::kFailed;
  if (fits == Answer::kYes) return item;
  if (fits == Answer::kFailed) swallow_ordinary();  // the row does not fit; others stay set
  return {};
}

int UploadPlan::open(PyObject* body, const List& items, Py_ssize_t first) {
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
      RG_CHECK(too_large_.push(i));
      size = -1;
    }
    RG_CHECK(sizes_.push(size));
  }
  return 0;
}

Py_ssize_t UploadPlan::estimate(Py_ssize_t items_bytes, Py_ssize_t count) const {
  const Py_ssize_t plain = base_ + items_bytes + (count > 1 ? count - 1 : 0);
  return static_cast<Py_ssize_t>(std::ceil(static_cast<double>(envelope_bytes(plain)) * scale_));
}

int UploadPlan::choose(Batch& batch) {
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

bool UploadPlan::fits(const Batch& batch, Py_ssize_t measured) {
  if (measured <= bound_) return true;
  Py_ssize_t bytes = 0;
  for (size_t k = 0; k < batch.size(); ++k) bytes += sizes_[batch[k]];
  const Py_ssize_t expected = estimate(bytes, static_cast<Py_ssize_t>(batch.size()));
  scale_ *= static_cast<double>(measured) / static_cast<double>(expected > 0 ? expected : 1) * 1.01;
  return false;
}

void UploadPlan::done(const Batch& batch) {
  for (size_t k = 0; k < batch.size(); ++k) sizes_[batch[k]] = -1;
}

bool UploadPlan::anything_left() const {
  for (size_t i = 0; i < sizes_.size(); ++i)
    if (sizes_[i] >= 0) return true;
  return false;
}

List pick(const List& list, const Batch& batch) {
  List out = List::fresh(PyList_New(static_cast<Py_ssize_t>(batch.size())));
  for (size_t k = 0; out && k < batch.size(); ++k) out.set(k, borrow(list.at(batch[k])));
  return out;
}

}  // namespace rg
