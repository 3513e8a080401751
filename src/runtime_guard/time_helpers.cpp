#include "time_helpers.hpp"

#include "module.hpp"
#include "registry.hpp"

namespace rg {

namespace {

// Parses a stored timestamp; null with no error set means "unusable" (empty or not ISO 8601).
Ref parse_timestamp(PyObject* value) {
  int truth = PyObject_IsTrue(value);
  if (truth <= 0) return {};
  Ref z = TRY(str("Z"));
  Ref utc_offset = TRY(str("+00:00"));
  Ref text = TRY(call_method(value, S("replace"), z, utc_offset));
  Ref datetime = TRY(G("datetime"));
  Ref parsed = call_method(datetime, S("fromisoformat"), text);
  if (!parsed) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
    return {};
  }
  Ref tzinfo = TRY(attr(parsed, S("tzinfo")));
  if (tzinfo.get() != Py_None) return parsed;
  Ref utc = TRY(G("UTC"));
  Ref replace = TRY(attr(parsed, S("replace")));
  return call_kw(replace, {}, {{S("tzinfo"), utc.get()}});
}

PyObject* py_utcnow_iso(PyObject*, PyObject*) { return utcnow_iso().release(); }
RG_EXPORT(ModuleFunction, "_utcnow_iso", py_utcnow_iso, METH_NOARGS, "_utcnow_iso()\n--\n\n");

PyObject* py_local_tz_offset(PyObject*, PyObject*) { return local_tz_offset().release(); }
RG_EXPORT(ModuleFunction, "_local_tz_offset", py_local_tz_offset, METH_NOARGS,
          "_local_tz_offset()\n--\n\n");

PyObject* py_duration_s(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"started_at", "ended_at", nullptr};
  PyObject *start, *end;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_duration_s", const_cast<char**>(kwlist),
                                   &start, &end))
    return nullptr;
  return duration_s(start, end).release();
}
RG_EXPORT(ModuleFunction, "_duration_s", py_duration_s, METH_VARARGS | METH_KEYWORDS,
          "_duration_s(started_at, ended_at)\n--\n\n");

}  // namespace

Ref utcnow_iso() {
  Ref datetime = TRY(G("datetime"));
  Ref utc = TRY(G("UTC"));
  Ref now = TRY(call_method(datetime, S("now"), utc));
  Ref isoformat = TRY(attr(now, S("isoformat")));
  Ref seconds = TRY(str("seconds"));
  return call_kw(isoformat, {}, {{S("timespec"), seconds.get()}});
}

Ref local_tz_offset() {
  Ref datetime = TRY(G("datetime"));
  Ref now = TRY(call_method(datetime, S("now")));
  Ref local = TRY(call_method(now, S("astimezone")));
  Ref fmt = TRY(str("%z"));
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
  Ref span = TRY(steal(PyNumber_Subtract(end.get(), start.get())));
  Ref seconds = TRY(call_method(span, S("total_seconds")));
  Ref whole = TRY(steal(PyNumber_Long(seconds.get())));
  RG_LET(zero, integer(0));
  int positive = PyObject_RichCompareBool(whole.get(), zero.get(), Py_GT);
  if (positive < 0) return {};
  return positive ? std::move(whole) : integer(0);
}

}  // namespace rg
