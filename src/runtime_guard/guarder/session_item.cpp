#include "guarder/session_item.hpp"

#include "capi/module_scope.hpp"
#include "capi/values.hpp"

namespace rg {

namespace {

// Above this a duration is no longer exact in every JSON reader (a double's 53 bits).
constexpr long long kMaxDuration = 1LL << 53;

// item[key] = row.get(key, ""), which must be text: NaN, null or a number in a time stamp or
// id is not one the server can take. 1 set, 0 does not fit, -1 error.
int add_text(PyObject* item, PyObject* row, PyObject* key) {
  RG_LET(value, mapping_get(row, key, S("")));
  if (!PyUnicode_Check(value.get())) return 0;
  RG_CHECK_OK(PyDict_SetItem(item, key, value.get()));
  return 1;
}

// int(row.get("duration_s") or 0): a float is truncated, a text must spell a whole number; the
// result must lie in 0..2**53. 1 set, 0 does not fit, -1 error (ordinary errors included).
int add_duration(PyObject* item, PyObject* row) {
  RG_LET(zero, integer(0));
  RG_LET(raw, or_else(mapping_get(row, S("duration_s"), Py_None), zero.get()));
  RG_LET(duration, steal(PyNumber_Long(raw.get())));
  int overflow = 0;
  const long long seconds = PyLong_AsLongLongAndOverflow(duration.get(), &overflow);
  if (seconds == -1 && PyErr_Occurred()) return -1;
  if (overflow || seconds < 0 || seconds > kMaxDuration) return 0;
  RG_CHECK_OK(PyDict_SetItem(item, S("duration_s"), duration.get()));
  return 1;
}

// The log text, when there is one: str(row["log_text"])[:_MAX_LOG_CHARS].
int add_log(PyObject* item, PyObject* row) {
  RG_LET(raw_log, mapping_get(row, S("log_text"), Py_None));
  RG_TRUTH(has_log, raw_log.get());
  if (!has_log) return 1;
  RG_LET(log_text, steal(PyObject_Str(raw_log.get())));
  if (PyUnicode_GET_LENGTH(log_text.get()) == 0) return 1;
  RG_LET(max_chars, G("_MAX_LOG_CHARS"));
  RG_LET(slice, steal(PySlice_New(nullptr, max_chars.get(), nullptr)));
  RG_LET(capped, steal(PyObject_GetItem(log_text.get(), slice.get())));
  if (!PyUnicode_Check(capped.get())) return 0;
  RG_CHECK_OK(PyDict_SetItem(item, S("log_text"), capped.get()));
  return 1;
}

// Keys in wire order; `field` follows the step under way.
Ref build(PyObject* row, const char*& field) {
  RG_LET(item, steal(PyDict_New()));
  struct Text {
    PyObject* key;
    const char* name;
  };
  for (Text t : {Text{S("session_id"), "session_id"}, Text{S("started_at"), "started_at"},
                 Text{S("ended_at"), "ended_at"}}) {
    field = t.name;
    const int fits = add_text(item.get(), row, t.key);
    RG_CHECK_OK(fits);
    if (!fits) return none();
  }
  field = "duration_s";
  const int fits = add_duration(item.get(), row);
  RG_CHECK_OK(fits);
  if (!fits) return none();
  field = "ended_cleanly";
  RG_LET(clean_raw, mapping_get(row, S("ended_cleanly"), Py_False));
  RG_TRUTH(clean, clean_raw.get());
  RG_CHECK_OK(PyDict_SetItem(item.get(), S("ended_cleanly"), clean ? Py_True : Py_False));
  field = "log_text";
  const int logged = add_log(item.get(), row);
  RG_CHECK_OK(logged);
  if (!logged) return none();
  field = nullptr;
  return item;
}

}  // namespace

Ref session_item(PyObject* row, const char*& field) {
  Ref item = build(row, field);
  if (!item) {
    swallow_ordinary();  // an ordinary error: the row does not fit; any other stays set
    return {};
  }
  if (item.get() == Py_None) return {};
  return item;
}

}  // namespace rg
