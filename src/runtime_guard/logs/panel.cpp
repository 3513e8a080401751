// format_panel_logs: the logging panel's records rendered in the panel's own line format
// ("<stamp> <level> <message>"), then redacted and capped.
#include "capi/values.hpp"
#include "logs/text.hpp"
#include "capi/module_scope.hpp"
#include "capi/declare.hpp"

namespace rg {

namespace {

// datetime.fromtimestamp(float(record.get("timestamp") or 0)).strftime("%Y-%m-%d %H:%M:%S")
Ref stamp(PyObject* record) {
  RG_LET(raw, mapping_get(record, S("timestamp")));
  RG_LET(zero, integer(0));
  RG_LET(value, or_else(std::move(raw), zero.get()));
  RG_LET(seconds, steal(PyNumber_Float(value.get())));
  RG_LET(datetime, G("datetime"));
  RG_LET(when, call_method(datetime, S("fromtimestamp"), seconds));
  return call_method(when, S("strftime"), S("%Y-%m-%d %H:%M:%S"));
}

// The stamp, or "" when it cannot be rendered (TypeError, ValueError, OSError).
Ref stamp_or_empty(PyObject* record) {
  Ref text = stamp(record);
  if (text) return text;
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_OSError))
    return {};
  PyErr_Clear();
  return steal(PyUnicode_New(0, 0));
}

// What an f-string replacement field with no format given makes of a value.
Ref as_field(Ref value) {
  if (PyUnicode_CheckExact(value.get())) return value;
  return steal(PyObject_Format(value.get(), nullptr));
}

// str.strip() with no argument: Unicode whitespace at both ends.
Ref strip(PyObject* text) {
  return logs::with_text(text, [&](auto* s, Py_ssize_t n) {
    Py_ssize_t a = 0, b = n;
    while (a < b && Py_UNICODE_ISSPACE(s[a])) ++a;
    while (b > a && Py_UNICODE_ISSPACE(s[b - 1])) --b;
    return steal(PyUnicode_Substring(text, a, b));
  });
}

// f"{stamp} {level} {message}".strip(), evaluated in the order Python evaluates it.
Ref render_line(PyObject* record) {
  RG_LET(when, stamp_or_empty(record));
  RG_LET(raw_level, mapping_get(record, S("level")));
  RG_LET(level, or_else(std::move(raw_level), S("INFO")));
  RG_CHECK(level = steal(PyObject_Str(level.get())));
  RG_LET(empty, steal(PyUnicode_New(0, 0)));
  RG_LET(raw_message, mapping_get(record, S("message")));
  RG_LET(message, or_else(std::move(raw_message), empty.get()));
  RG_CHECK(message = steal(PyObject_Str(message.get())));
  RG_CHECK(when = as_field(std::move(when)));
  RG_CHECK(level = as_field(std::move(level)));
  RG_CHECK(message = as_field(std::move(message)));
  RG_LET(parts, steal(PyTuple_Pack(3, when.get(), level.get(), message.get())));
  RG_LET(line, steal(PyUnicode_Join(S(" "), parts.get())));
  return strip(line.get());
}

Ref render_panel_logs(PyObject* records) {
  RG_LET(max_lines, G("_MAX_LOG_LINES"));
  RG_LET(start, steal(PyNumber_Negative(max_lines.get())));
  RG_LET(last, steal(PySlice_New(start.get(), nullptr, nullptr)));
  RG_LET(recent, steal(PyObject_GetItem(records, last.get())));
  RG_LET(iter, steal(PyObject_GetIter(recent.get())));
  RG_LET(lines, steal(PyList_New(0)));
  while (Ref record = steal(PyIter_Next(iter.get()))) {
    RG_LET(line, render_line(record.get()));
    if (PyList_Append(lines.get(), line.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  RG_LET(text, steal(PyUnicode_Join(S("\n"), lines.get())));
  lines = nullptr;
  RG_LET(sanitize, G("sanitize_log_text"));
  return call(sanitize, text);
}

}  // namespace

RG_DEF(Function, 8, format_panel_logs, "format_panel_logs(records)",
       "Render in-memory logger records the same way the logging panel stores them.")
Ref format_panel_logs(PyObject* records) { return render_panel_logs(records); }

}  // namespace rg
