#include "timestamps/timestamps.hpp"

#include "capi/params.hpp"
#include "capi/module_scope.hpp"
#include "capi/declare.hpp"

namespace rg {

namespace {

// Parses a stored timestamp; null with no error set means "unusable" (empty or not ISO 8601).
Ref parse_timestamp(PyObject* value) {
  int truth = PyObject_IsTrue(value);
  if (truth <= 0) return {};
  RG_LET(z, str("Z"));
  RG_LET(utc_offset, str("+00:00"));
  RG_LET(text, call_method(value, S("replace"), z, utc_offset));
  RG_LET(datetime, G("datetime"));
  Ref parsed = call_method(datetime, S("fromisoformat"), text);
  if (!parsed) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
    return {};
  }
  RG_LET(tzinfo, attr(parsed, S("tzinfo")));
  if (tzinfo.get() != Py_None) return parsed;
  RG_LET(utc, G("UTC"));
  RG_LET(replace, attr(parsed, S("replace")));
  return call_kw(replace, {}, {{S("tzinfo"), utc.get()}});
}

}  // namespace

Ref utcnow_iso() {
  RG_LET(datetime, G("datetime"));
  RG_LET(utc, G("UTC"));
  RG_LET(now, call_method(datetime, S("now"), utc));
  RG_LET(isoformat, attr(now, S("isoformat")));
  RG_LET(seconds, str("seconds"));
  return call_kw(isoformat, {}, {{S("timespec"), seconds.get()}});
}

Ref local_tz_offset() {
  RG_LET(datetime, G("datetime"));
  RG_LET(now, call_method(datetime, S("now")));
  RG_LET(local, call_method(now, S("astimezone")));
  RG_LET(fmt, str("%z"));
  // len(z) == 5 ? f"{z[:3]}:{z[3:]}" : "UTC", whatever a substituted datetime returned
  RG_LET(z, call_method(local, S("strftime"), fmt));
  const Py_ssize_t length = PyObject_Size(z.get());
  if (length < 0) return {};
  if (length != 5) return str("UTC");
  RG_LET(head, steal(PySequence_GetSlice(z.get(), 0, 3)));
  RG_LET(tail, steal(PySequence_GetSlice(z.get(), 3, PY_SSIZE_T_MAX)));
  RG_LET(head_text, steal(PyObject_Format(head.get(), S(""))));
  RG_LET(tail_text, steal(PyObject_Format(tail.get(), S(""))));
  return steal(PyUnicode_FromFormat("%U:%U", head_text.get(), tail_text.get()));
}

Ref duration_s(PyObject* started_at, PyObject* ended_at) {
  Ref start = parse_timestamp(started_at);
  if (!start && PyErr_Occurred()) return {};
  Ref end = parse_timestamp(ended_at);
  if (!end && PyErr_Occurred()) return {};
  if (!start || !end) return integer(0);
  RG_LET(span, steal(PyNumber_Subtract(end.get(), start.get())));
  RG_LET(seconds, call_method(span, S("total_seconds")));
  RG_LET(whole, steal(PyNumber_Long(seconds.get())));
  RG_LET(zero, integer(0));
  int positive = PyObject_RichCompareBool(whole.get(), zero.get(), Py_GT);
  if (positive < 0) return {};
  return positive ? std::move(whole) : integer(0);
}

RG_DEF(Function, 4, _utcnow_iso, "_utcnow_iso()", "")
Ref _utcnow_iso() { return utcnow_iso(); }

RG_DEF(Function, 5, _local_tz_offset, "_local_tz_offset()", "")
Ref _local_tz_offset() { return local_tz_offset(); }

RG_DEF(Function, 21, _duration_s, "_duration_s(started_at, ended_at)", "")
Ref _duration_s(PyObject* started_at, PyObject* ended_at) { return duration_s(started_at, ended_at); }

}  // namespace rg
