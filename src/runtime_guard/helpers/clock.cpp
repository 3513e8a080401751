// The clock, the local time zone's label and durations, through the module's `datetime` and
// `UTC` (a host may replace either).
#include "capi/declare.hpp"
#include "capi/scope.hpp"

namespace rg {
namespace {
// A stored timestamp as an aware datetime; null with no error set when it is unusable (empty
// or not ISO 8601).
Ref parse_timestamp(PyObject* value) {
  RG_TRUTH(usable, value);
  if (!usable) return {};
  RG_LET(text, call_method(value, S("replace"), S("Z"), S("+00:00")));
  Ref parsed = call_method(G("datetime"), S("fromisoformat"), text);
  if (!parsed) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
    return {};
  }
  RG_LET(tzinfo, attr(parsed, S("tzinfo")));
  if (tzinfo.get() != Py_None) return parsed;
  RG_LET(replace, attr(parsed, S("replace")));
  RG_LET(utc, G("UTC"));
  return call_kw(replace, {}, {{S("tzinfo"), utc.get()}});
}
}  // namespace

RG_DEF(Function, 4, _utcnow_iso, "_utcnow_iso()", "")
Ref _utcnow_iso() {
  RG_LET(datetime, G("datetime"));
  RG_LET(utc, G("UTC"));
  RG_LET(now, call_method(datetime, S("now"), utc));
  RG_LET(isoformat, attr(now, S("isoformat")));
  return call_kw(isoformat, {}, {{S("timespec"), S("seconds")}});
}
RG_DEF(Function, 5, _local_tz_offset, "_local_tz_offset()", "")
Ref _local_tz_offset() {
  RG_LET(now, call_method(G("datetime"), S("now")));
  RG_LET(local, call_method(now, S("astimezone")));
  // len(z) == 5 ? f"{z[:3]}:{z[3:]}" : "UTC", whatever a substituted datetime returned
  RG_LET(z, call_method(local, S("strftime"), S("%z")));
  const Py_ssize_t length = PyObject_Size(z.get());
  if (length != 5) return length < 0 ? Ref() : str("UTC");
  RG_LET(head, steal(PySequence_GetSlice(z.get(), 0, 3)));
  RG_LET(tail, steal(PySequence_GetSlice(z.get(), 3, PY_SSIZE_T_MAX)));
  return call_method(S("{}:{}"), S("format"), head, tail);
}
// Whole seconds from started_at to ended_at, 0 when either is unusable.
RG_DEF(Function, 21, _duration_s, "_duration_s(started_at, ended_at)", "")
Ref _duration_s(PyObject* started_at, PyObject* ended_at) {
  Ref start = parse_timestamp(started_at);
  RG_CHECK(start || !PyErr_Occurred());
  Ref end = parse_timestamp(ended_at);
  RG_CHECK(end || !PyErr_Occurred());
  if (!start || !end) return integer(0);
  RG_LET(span, steal(PyNumber_Subtract(end.get(), start.get())));
  RG_LET(seconds, call_method(span, S("total_seconds")));
  RG_LET(whole, steal(PyNumber_Long(seconds.get())));
  RG_LET(zero, integer(0));
  const int positive = PyObject_RichCompareBool(whole.get(), zero.get(), Py_GT);
  if (positive < 0) return {};
  return positive ? std::move(whole) : std::move(zero);
}
}  // namespace rg
