// sanitize_log_text: three `re.sub` passes (paths, e-mails, tokens), then the tail cut. Each reads
// its pattern at call time: while it is the compiled pattern of the same text, the native scanner
// does the work (same matches, linear); a host's substitute is called through its `sub`.
// format_panel_logs: the panel's records as "<stamp> <level> <message>" lines, then sanitized.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "helpers/constants.hpp"
#include "redact/scanners.hpp"
#include "capi/call.hpp"

namespace rg {
namespace {
using redact::Spans;
using Finder = bool (*)(const Str&, Spans&);

// Whether `pattern` is an `re.Pattern` compiled from `source` with the default str flags.
Answer is_native(PyObject* pattern, const char* source) {
  if (std::strcmp(Py_TYPE(pattern)->tp_name, "re.Pattern") != 0) return Answer::kNo;
  RG_LET(text, attr(pattern, S("pattern")));
  if (!PyUnicode_CheckExact(text.get()) || PyUnicode_CompareWithASCIIString(text.get(), source))
    return Answer::kNo;
  RG_LET(flags, attr(pattern, S("flags")));
  const long value = PyLong_AsLong(flags.get());
  if (value == -1 && PyErr_Occurred()) return failed;
  return value == 32 ? Answer::kYes : Answer::kNo;  // re.UNICODE, the default for a str pattern
}

// A copy of `text` with every span replaced by `marker` (ASCII), in canonical storage: str
// equality compares kinds first. Written in the source's kind, then narrowed unless ASCII.
template <class Ch>
void fill(const Ch* s, Py_ssize_t n, const Spans& spans, std::string_view marker, void* out) {
  Ch* d = static_cast<Ch*>(out);
  Py_ssize_t from = 0;
  for (size_t k = 0; k < spans.size(); ++k) {
    d = std::copy(s + from, s + spans[k].start, d);
    d = std::copy(marker.begin(), marker.end(), d);
    from = spans[k].end;
  }
  std::copy(s + from, s + n, d);
}

Str splice(const Str& text, const Spans& spans, std::string_view marker) {
  Py_ssize_t size = text.size();
  for (size_t k = 0; k < spans.size(); ++k)
    size += static_cast<Py_ssize_t>(marker.size()) - (spans[k].end - spans[k].start);
  Str out = Str::fresh(PyUnicode_New(size, text.max_char()));
  if (!out) return out;
  void* to = out.writable();
  redact::with_text(text, [&](auto* s, Py_ssize_t n) { fill(s, n, spans, marker, to); });
  if (text.is_ascii()) return out;
  return Str::fresh(PyUnicode_FromKindAndData(out.kind(), out.data(), out.size()));
}

// globals()[name].sub(marker, input)
Ref replace_pass(PyObject* name, const char* source, const char* marker, Finder find, Ref input,
                 Spans& spans) {
  RG_LET(pattern, global(name));
  Str text = Str::probe(input.get());
  const Answer native = text ? is_native(pattern.get(), source) : Answer::kNo;
  if (native == Answer::kFailed) return failed;
  if (native == Answer::kNo) {
    RG_LET(replacement, str(marker));
    return call_method(pattern, S("sub"), replacement, input);
  }
  spans.clear();
  if (PyUnicode_READY(text.get()) < 0 || !find(text, spans)) return failed;
  // re.sub hands back a plain str even for a str subclass.
  if (spans.size() || !PyUnicode_CheckExact(text.get())) return splice(text, spans, marker);
  return text;
}

// if len(text) > _MAX_LOG_CHARS: text = text[-_MAX_LOG_CHARS:]
Ref keep_tail(Ref text) {
  RG_LET(limit, G("_MAX_LOG_CHARS"));
  const Py_ssize_t size = PyObject_Size(text.get());
  if (size < 0) return failed;
  RG_LET(length, steal(PyLong_FromSsize_t(size)));
  const Answer over = answer(PyObject_RichCompareBool(length.get(), limit.get(), Py_GT));
  if (over == Answer::kFailed) return failed;
  if (over == Answer::kNo) return text;
  RG_LET(start, steal(PyNumber_Negative(limit.get())));
  RG_LET(tail, steal(PySlice_New(start.get(), nullptr, nullptr)));
  return steal(PyObject_GetItem(text.get(), tail.get()));
}
}  // namespace

RG_DEF(Function, 7, sanitize_log_text, "sanitize_log_text(text)",
       "Redact paths, emails, and token-like strings from panel logs.")
Ref sanitize_log_text(PyObject* input) {
  using namespace constants;
  RG_TRUTH(truth, input);
  RG_LET(text, truth ? borrow(input) : str(""));
  Spans spans;
  RG_CHECK(text = replace_pass(S("_PATH_RE"), kPathPattern, "<path>", redact::find_paths,
                               std::move(text), spans));
  RG_CHECK(text = replace_pass(S("_EMAIL_RE"), kEmailPattern, "<email>", redact::find_emails,
                               std::move(text), spans));
  RG_CHECK(text = replace_pass(S("_TOKENISH_RE"), kTokenishPattern, "<token>",
                               redact::find_tokens, std::move(text), spans));
  return keep_tail(std::move(text));
}

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

// f"{stamp} {level} {message}".strip(), the fields made before any is formatted.
Ref render_line(PyObject* record) {
  RG_LET(when, stamp(record));
  RG_LET(level, field(record, S("level"), S("INFO"), PyObject_Str));
  RG_LET(message, field(record, S("message"), S(""), PyObject_Str));
  for (Ref* field : {&when, &level, &message})
    RG_CHECK(*field = steal(PyObject_Format(field->get(), nullptr)));
  RG_LET(parts, steal(PyTuple_Pack(3, when.get(), level.get(), message.get())));
  RG_LET(line, steal(PyUnicode_Join(S(" "), parts.get())));
  return call_method(line, S("strip"));
}
}  // namespace

RG_DEF(Function, 8, format_panel_logs, "format_panel_logs(records)",
       "Render in-memory logger records the same way the logging panel stores them.")
Ref format_panel_logs(PyObject* records) {
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
  return call(G("sanitize_log_text"), text);
}
}  // namespace rg
