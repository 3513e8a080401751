// sanitize_log_text: the three `re.sub` passes (paths, e-mails, tokens) and the tail cut.
//
// Each pass reads its pattern from the module at call time. While it is still the compiled
// pattern of the same text, the native scanner does the work (same matches, linear time);
// anything else a host put there is used as Python code would use it, through its `sub`.
#include "helpers/constants.hpp"
#include "logs/scanners.hpp"
#include "capi/module_scope.hpp"
#include "capi/declare.hpp"

#include <cstring>

namespace rg {

namespace {

using logs::SpanList;
using Finder = int (*)(PyObject*, SpanList&);

// 1 when `pattern` is an `re.Pattern` compiled from `source` with the default str flags.
int is_native(PyObject* pattern, const char* source) {
  if (std::strcmp(Py_TYPE(pattern)->tp_name, "re.Pattern") != 0) return 0;
  RG_LET(text, attr(pattern, S("pattern")));
  if (!PyUnicode_CheckExact(text.get()) || PyUnicode_CompareWithASCIIString(text.get(), source) != 0)
    return 0;
  RG_LET(flags, attr(pattern, S("flags")));
  const long value = PyLong_AsLong(flags.get());
  if (value == -1 && PyErr_Occurred()) return -1;
  return value == 32;  // re.UNICODE: what re.compile gives a str pattern without flags
}

// globals()[name].sub(marker, text)
Ref replace_pass(PyObject* name, const char* source, PyObject* marker, const char* marker_text,
                 Finder find, Ref text, SpanList& spans) {
  RG_LET(pattern, global(name));
  if (PyUnicode_Check(text.get())) {
    const int native = is_native(pattern.get(), source);
    if (native < 0) return {};
    if (native) {
      if (PyUnicode_READY(text.get()) < 0) return {};
      spans.clear();
      if (find(text.get(), spans) < 0) return {};
      if (!spans.empty()) return logs::splice(text.get(), spans, marker_text);
      if (PyUnicode_CheckExact(text.get())) return text;
      // re.sub hands back a plain str even for a str subclass.
      return steal(PyUnicode_Substring(text.get(), 0, PyUnicode_GET_LENGTH(text.get())));
    }
  }
  return call_method(pattern, S("sub"), marker, text);
}

// if len(text) > _MAX_LOG_CHARS: text = text[-_MAX_LOG_CHARS:]
Ref keep_tail(Ref text) {
  RG_LET(limit, G("_MAX_LOG_CHARS"));
  const Py_ssize_t size = PyObject_Size(text.get());
  if (size < 0) return {};
  RG_LET(length, steal(PyLong_FromSsize_t(size)));
  const int over = PyObject_RichCompareBool(length.get(), limit.get(), Py_GT);
  if (over < 0) return {};
  if (!over) return text;
  RG_LET(start, steal(PyNumber_Negative(limit.get())));
  RG_LET(tail, steal(PySlice_New(start.get(), nullptr, nullptr)));
  return steal(PyObject_GetItem(text.get(), tail.get()));
}

Ref sanitize(PyObject* input) {
  using namespace constants;
  RG_TRUTH(truth, input);
  RG_LET(text, truth ? borrow(input) : steal(PyUnicode_New(0, 0)));
  SpanList spans;
  RG_CHECK(text = replace_pass(S("_PATH_RE"), kPathPattern, S("<path>"), "<path>",
                               logs::find_paths, std::move(text), spans));
  RG_CHECK(text = replace_pass(S("_EMAIL_RE"), kEmailPattern, S("<email>"), "<email>",
                               logs::find_emails, std::move(text), spans));
  RG_CHECK(text = replace_pass(S("_TOKENISH_RE"), kTokenishPattern, S("<token>"), "<token>",
                               logs::find_tokens, std::move(text), spans));
  return keep_tail(std::move(text));
}

}  // namespace

RG_DEF(Function, 7, sanitize_log_text, "sanitize_log_text(text)",
       "Redact paths, emails, and token-like strings from panel logs.")
Ref sanitize_log_text(PyObject* text) { return sanitize(text); }

}  // namespace rg
