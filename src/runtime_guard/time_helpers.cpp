#include "time_helpers.hpp"

#include "params.hpp"
#include "module.hpp"
#include "registry.hpp"

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

PyObject* py_utcnow_iso(PyObject*, PyObject*) { return utcnow_iso().release(); }
RG_EXPORT(ModuleFunction, "_utcnow_iso", py_utcnow_iso, METH_NOARGS, "_utcnow_iso()\n--\n\n");

PyObject* py_local_tz_offset(PyObject*, PyObject*) { return local_tz_offset().release(); }
RG_EXPORT(ModuleFunction, "_local_tz_offset", py_local_tz_offset, METH_NOARGS,
          "_local_tz_offset()\n--\n\n");

PyObject* py_duration_s(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"started_at", "ended_at"};
  PyObject* values[2];
  if (bind_required("_duration_s", names, 2, args, nargs, kwnames, values) < 0) return nullptr;
  return duration_s(values[0], values[1]).release();
}
RG_EXPORT(ModuleFunction, "_duration_s", py_duration_s, METH_FASTCALL | METH_KEYWORDS,
          "_duration_s(started_at, ended_at)\n--\n\n");

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

}  // namespace rg
