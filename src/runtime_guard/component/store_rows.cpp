#include "component/store_rows.hpp"

#include <cstring>

#include "capi/module_scope.hpp"
#include "capi/values.hpp"

namespace rg {

namespace {

// A line decoded with surrogateescape holds U+DC80..U+DCFF exactly where the file had bytes
// that are not UTF-8. Such a line is skipped like a line of invalid JSON: one bad byte must
// not end session tracking on the machine.
bool has_undecodable_bytes(PyObject* line) {
  const int kind = PyUnicode_KIND(line);
  if (kind == PyUnicode_1BYTE_KIND) return false;
  const void* data = PyUnicode_DATA(line);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xDC80 && c <= 0xDCFF) return true;
  }
  return false;
}

// The ASCII characters str.strip() removes (a line holds no LF or CR). Whatever else it removes
// is not ASCII, and a line holding such bytes is read through the str path.
bool strippable(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); }

std::string_view ascii_stripped(std::string_view line) {
  while (!line.empty() && strippable(line.front())) line.remove_prefix(1);
  while (!line.empty() && strippable(line.back())) line.remove_suffix(1);
  return line;
}

// A str of ASCII bytes, copied once.
Ref ascii_text(std::string_view ascii) {
  RG_LET(text, steal(PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 0x7F)));
  std::memcpy(PyUnicode_DATA(text.get()), ascii.data(), ascii.size());
  return text;
}

}  // namespace

Ref last_stored(PyObject* rows) {
  RG_LET(max_stored, G("_MAX_STORED"));
  RG_LET(start, steal(PyNumber_Negative(max_stored.get())));
  RG_LET(slice, steal(PySlice_New(start.get(), nullptr, nullptr)));
  return steal(PyObject_GetItem(rows, slice.get()));
}

int JsonCodec::open() {
  RG_CHECK(json = G("json"));
  RG_CHECK(dumps = attr(json, S("dumps")));
  RG_CHECK(separators = steal(Py_BuildValue("(ss)", ",", ":")));
  const Answer standard = store_lines::json_is_standard(json.get());
  if (standard == Answer::kFailed) return -1;
  native = standard == Answer::kYes;
  return 0;
}

Ref JsonCodec::line(PyObject* row, PyObject* known) const {
  if (native) {
    Ref text;
    const store_lines::Coded coded = store_lines::encode_line(row, scratch, text, known);
    if (coded == store_lines::Coded::kDone) return text;
    if (coded == store_lines::Coded::kError) return {};
  }
  return call_kw(dumps, {row}, {{S("separators"), separators.get()}});
}

Ref JsonCodec::loads(PyObject* text) const {
  if (native && PyUnicode_Check(text) && PyUnicode_IS_ASCII(text)) {
    const std::string_view ascii(static_cast<const char*>(PyUnicode_DATA(text)),
                                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
    Ref row;
    const store_lines::Coded coded = store_lines::decode_line(ascii, row, scratch);
    if (coded == store_lines::Coded::kDone) return row;
    if (coded == store_lines::Coded::kError) return {};
  }
  return call_method(json, S("loads"), text);
}

Ref JsonCodec::parse(PyObject* line, Ref* text) const {
  RG_LET(stripped, call_method(line, S("strip")));
  if (!PyUnicode_Check(stripped.get()) || PyUnicode_GET_LENGTH(stripped.get()) == 0 ||
      has_undecodable_bytes(stripped.get()))
    return {};
  Ref row = loads(stripped.get());
  if (!row) {
    // A line nested deeper than the parser's recursion limit, or holding an integer longer than
    // the interpreter converts (a ValueError that is no JSONDecodeError), is as unreadable as a
    // broken one.
    if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_RecursionError))
      PyErr_Clear();
    return {};
  }
  if (!PyDict_Check(row.get())) return {};
  if (row_flag(row.get(), S("session_id")) <= 0) return {};
  if (text) *text = std::move(stripped);
  return row;
}

int utf8_view(PyObject* line, std::string_view& out) {
  if (!PyUnicode_Check(line)) {
    PyErr_Format(PyExc_TypeError, "store line must be str, not %.80s", Py_TYPE(line)->tp_name);
    return -1;
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(line, &n);
  RG_CHECK(p);
  out = std::string_view(p, static_cast<size_t>(n));
  return 0;
}

Ref JsonCodec::parse(std::string_view line, Ref* text) const {
  if (native) {
    const std::string_view stripped = ascii_stripped(line);
    if (stripped.empty()) return {};
    Ref row;
    const store_lines::Coded coded = store_lines::decode_line(stripped, row, scratch);
    if (coded == store_lines::Coded::kError) return {};
    if (coded == store_lines::Coded::kDone) {
      if (row_flag(row.get(), S("session_id")) <= 0) return {};
      if (text) RG_CHECK(*text = ascii_text(stripped));
      return row;
    }
  }
  // Non-ASCII bytes (which the module never writes), a value outside the native subset or a
  // broken line: read as Python code reads it.
  RG_LET(decoded, steal(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()),
                                              "surrogateescape")));
  return parse(decoded.get(), text);
}

Ref id_key(PyObject* id) {
  if (id == Py_None || PyUnicode_CheckExact(id)) return borrow(id);
  RG_LET(text, steal(PyObject_Repr(id)));
  return steal(PyTuple_Pack(1, text.get()));
}

Ref session_key(PyObject* row) {
  if (!PyDict_Check(row)) return none();
  PyObject* id = PyDict_GetItemWithError(row, S("session_id"));
  if (!id) return PyErr_Occurred() ? Ref() : none();
  return id_key(id);
}

int row_flag(PyObject* row, PyObject* key) {
  RG_LET(value, mapping_get(row, key));
  return PyObject_IsTrue(value.get());
}

Ref row_content(PyObject* row) {
  RG_LET(content, call(reinterpret_cast<PyObject*>(&PyDict_Type), row));
  if (PyDict_DelItem(content.get(), S("flushed")) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
    PyErr_Clear();
  }
  return content;
}

}  // namespace rg
