// format_panel_logs: the logging panel's records rendered in the panel's own line format
// ("<stamp> <level> <message>"), then redacted and capped.
#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/call.hpp"
#include "redact/scanners.hpp"

namespace rg {

namespace {

// convert(record.get(key) or fallback)
Ref field(PyObject* record, PyObject* key, PyObject* fallback, PyObject* (*convert)(PyObject*)) {
  RG_LET(raw, mapping_get(record, key));
  RG_LET(value, or_else(std::move(raw), fallback));
  return steal(convert(value.get()));
}

// datetime.fromtimestamp(float(record.get("timestamp") or 0)).strftime("%Y-%m-%d %H:%M:%S"),
// or "" when that raises TypeError, ValueError or OSError.
Ref stamp(PyObject* record) {
  RG_LET(zero, integer(0));
  Ref seconds = field(record, S("timestamp"), zero.get(), PyNumber_Float);
  Ref datetime = seconds ? G("datetime") : Ref();
  Ref when = datetime ? call_method(datetime, S("fromtimestamp"), seconds) : Ref();
  Ref text = when ? call_method(when, S("strftime"), S("%Y-%m-%d %H:%M:%S")) : Ref();
  if (text || (!PyErr_ExceptionMatches(PyExc_TypeError) &&
               !PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OSError)))
    return text;
  PyErr_Clear();
  return str("");
}

// str.strip() with no argument: Unicode whitespace at both ends.
Ref strip(const Str& text) {
  return redact::with_text(text, [&](auto* s, Py_ssize_t n) {
    Py_ssize_t a = 0, b = n;
    while (a < b && Py_UNICODE_ISSPACE(s[a])) ++a;
    while (b > a && Py_UNICODE_ISSPACE(s[b - 1])) --b;
    return steal(PyUnicode_Substring(text.get(), a, b));
  });
}

// f"{stamp} {level} {message}".strip(), the fields made first and then formatted, as Python
// evaluates it (format() with no spec hands an exact str back as it is).
Ref render_line(PyObject* record) {
  RG_LET(when, stamp(record));
  RG_LET(level, field(record, S("level"), S("INFO"), PyObject_Str));
  RG_LET(message, field(record, S("message"), S(""), PyObject_Str));
  for (Ref* field : {&when, &level, &message})
    RG_CHECK(*field = steal(PyObject_Format(field->get(), nullptr)));
  RG_LET(parts, steal(PyTuple_Pack(3, when.get(), level.get(), message.get())));
  Str line = Str::fresh(PyUnicode_Join(S(" "), parts.get()));
  return line ? strip(line) : failed;
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
    RG_CHECK_OK(PyList_Append(lines.get(), line.get()));
  }
  if (PyErr_Occurred()) return failed;
  RG_LET(text, steal(PyUnicode_Join(S("\n"), lines.get())));
  RG_LET(sanitize, G("sanitize_log_text"));
  return call(sanitize, text);
}

}  // namespace

RG_DEF(Function, 8, format_panel_logs, "format_panel_logs(records)",
       "Render in-memory logger records the same way the logging panel stores them.")
Ref format_panel_logs(PyObject* records) { return render_panel_logs(records); }

}  // namespace rg
