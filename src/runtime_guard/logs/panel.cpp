// format_panel_logs and RuntimeGuarder._capture_logs: the logging panel's records rendered in
// the panel's own line format ("<stamp> <level> <message>"), then redacted and capped.
#include "logs/args.hpp"
#include "logs/text.hpp"
#include "module.hpp"
#include "registry.hpp"

namespace rg {

namespace {

// record.get(key); a plain dict is read directly (same result, no method call).
Ref record_get(PyObject* record, PyObject* key) {
  if (PyDict_CheckExact(record)) {
    PyObject* v = PyDict_GetItemWithError(record, key);
    if (v) return borrow(v);
    if (PyErr_Occurred()) return {};
    return none();
  }
  return call_method(record, S("get"), key);
}

// `value or fallback`
Ref or_else(Ref value, PyObject* fallback) {
  const int truth = PyObject_IsTrue(value.get());
  if (truth < 0) return {};
  return truth ? std::move(value) : borrow(fallback);
}

// datetime.fromtimestamp(float(record.get("timestamp") or 0)).strftime("%Y-%m-%d %H:%M:%S")
Ref stamp(PyObject* record) {
  Ref raw = TRY(record_get(record, S("timestamp")));
  Ref zero = TRY(integer(0));
  Ref value = TRY(or_else(std::move(raw), zero.get()));
  Ref seconds = TRY(steal(PyNumber_Float(value.get())));
  Ref datetime = TRY(G("datetime"));
  Ref when = TRY(call_method(datetime, S("fromtimestamp"), seconds));
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
  Ref when = TRY(stamp_or_empty(record));
  Ref level = TRY(or_else(TRY(record_get(record, S("level"))), S("INFO")));
  level = TRY(steal(PyObject_Str(level.get())));
  Ref empty = TRY(steal(PyUnicode_New(0, 0)));
  Ref message = TRY(or_else(TRY(record_get(record, S("message"))), empty.get()));
  message = TRY(steal(PyObject_Str(message.get())));
  when = TRY(as_field(std::move(when)));
  level = TRY(as_field(std::move(level)));
  message = TRY(as_field(std::move(message)));
  Ref parts = TRY(steal(PyTuple_Pack(3, when.get(), level.get(), message.get())));
  Ref line = TRY(steal(PyUnicode_Join(S(" "), parts.get())));
  return strip(line.get());
}

Ref format_panel_logs(PyObject* records) {
  Ref max_lines = TRY(G("_MAX_LOG_LINES"));
  Ref start = TRY(steal(PyNumber_Negative(max_lines.get())));
  Ref last = TRY(steal(PySlice_New(start.get(), nullptr, nullptr)));
  Ref recent = TRY(steal(PyObject_GetItem(records, last.get())));
  Ref iter = TRY(steal(PyObject_GetIter(recent.get())));
  Ref lines = TRY(steal(PyList_New(0)));
  while (Ref record = steal(PyIter_Next(iter.get()))) {
    Ref line = TRY(render_line(record.get()));
    if (PyList_Append(lines.get(), line.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  Ref text = TRY(steal(PyUnicode_Join(S("\n"), lines.get())));
  lines = nullptr;
  Ref sanitize = TRY(G("sanitize_log_text"));
  return call(sanitize, text);
}

PyObject* py_format_panel_logs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* records = logs::single_argument("format_panel_logs", "records", args, nargs, kwnames);
  if (!records) return nullptr;
  return format_panel_logs(records).release();
}
RG_EXPORT(ModuleFunction, "format_panel_logs", py_format_panel_logs, METH_FASTCALL | METH_KEYWORDS,
          "format_panel_logs(records)\n--\n\n"
          "Render in-memory logger records the same way the logging panel stores them.");

// hasattr(obj, name): only AttributeError means "no"; other errors propagate. -1 on error.
int has_attribute(PyObject* obj, PyObject* name) {
  Ref value = attr(obj, name);
  if (value) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

// Logs the failure to read or render the panel's records; "" unless it is not an ordinary
// exception (interpreter exit, keyboard interrupt), which stays raised.
PyObject* unreadable_panel() {
  Ref exc = catch_ordinary();
  if (!exc) return nullptr;
  if (!log_exc_at(S("debug"), "Could not read logging panel records", exc.get())) return nullptr;
  return PyUnicode_New(0, 0);
}

PyObject* capture_logs(PyObject*, PyObject* self) {
  Ref context = TRY(attr(self, S("app_context")));
  const int present = PyObject_IsTrue(context.get());
  if (present < 0) return nullptr;
  if (!present) return PyUnicode_New(0, 0);
  Ref panel = TRY(call_method(context, S("get_component"), S("logger")));
  if (panel.get() == Py_None) return PyUnicode_New(0, 0);
  const int readable = has_attribute(panel.get(), S("get_recent_logs"));
  if (readable < 0) return nullptr;
  if (!readable) return PyUnicode_New(0, 0);

  Ref count = TRY(integer(1000));
  Ref get_recent_logs = attr(panel, S("get_recent_logs"));
  Ref result = get_recent_logs ? call_kw(get_recent_logs, {}, {{S("count"), count.get()}}) : Ref();
  if (!result) return unreadable_panel();

  // A record the panel cannot render (not a mapping, a stamp out of range) must not lose
  // the whole close: treated like a panel that cannot be read.
  Ref empty = TRY(steal(PyList_New(0)));
  Ref records = or_else(std::move(result), empty.get());
  Ref copy = records ? steal(PySequence_List(records.get())) : Ref();
  Ref format = copy ? G("format_panel_logs") : Ref();
  Ref text = format ? call(format, copy) : Ref();
  if (!text) return unreadable_panel();
  return text.release();
}
RG_EXPORT(Method, "_capture_logs", capture_logs, METH_O, "_capture_logs(self)\n--\n\n");

}  // namespace

}  // namespace rg
