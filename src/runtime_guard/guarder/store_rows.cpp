// Session rows as the store file holds them: one compact JSON text per line.
#include <cstring>

#include "capi/scope.hpp"
#include "capi/call.hpp"
#include "guarder/guarder.hpp"

namespace rg {
namespace {
// Surrogateescape decoding puts U+DC80..U+DCFF exactly where the file had bytes that are not
// UTF-8: such a line is skipped like invalid JSON, one bad byte must not end session tracking.
bool has_undecodable_bytes(const Str& text) {
  for (Py_ssize_t i = 0; text.kind() != PyUnicode_1BYTE_KIND && i < text.size(); ++i) {
    const Py_UCS4 c = text.at(i);
    if (c >= 0xDC80 && c <= 0xDCFF) return true;
  }
  return false;
}

// The ASCII characters str.strip() removes; the others it removes are not ASCII.
bool strippable(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); }
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
  native = standard == Answer::kYes;
  return standard == Answer::kFailed ? -1 : 0;
}

Ref JsonCodec::line(PyObject* row, PyObject* known) const {
  Ref text;
  const auto coded = native ? store_lines::encode_line(row, scratch, text, known) : store_lines::Coded::kFallback;
  if (coded == store_lines::Coded::kDone) return text;
  if (coded == store_lines::Coded::kError) return {};
  return call_kw(dumps, {row}, {{S("separators"), separators.get()}});
}

Ref JsonCodec::parse(PyObject* line) const {
  Str text = Str::probe(line);
  if (!text || text.size() == 0 || has_undecodable_bytes(text)) return {};
  Ref row;
  auto coded = store_lines::Coded::kFallback;
  if (native && text.is_ascii()) {
    const std::string_view ascii(static_cast<const char*>(text.data()), static_cast<std::size_t>(text.size()));
    coded = store_lines::decode_line(ascii, row, scratch);
  }
  if (coded == store_lines::Coded::kError) return {};
  if (coded == store_lines::Coded::kFallback) row = call_method(json, S("loads"), text);
  // Too deeply nested, or an integer longer than the interpreter converts (a ValueError that is
  // no JSONDecodeError): as unreadable as a broken line.
  if (!row && (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_RecursionError)))
    PyErr_Clear();
  if (!row || !PyDict_Check(row.get()) || row_flag(row.get(), S("session_id")) <= 0) return {};
  return row;
}

Ref stripped_text(std::string_view line) {
  while (!line.empty() && strippable(line.front())) line.remove_prefix(1);
  while (!line.empty() && strippable(line.back())) line.remove_suffix(1);
  Str text = Str::fresh(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "surrogateescape"));
  if (!text || text.is_ascii()) return text;
  return call_method(text, S("strip"));
}

Ref id_key(PyObject* id) {
  if (id == Py_None || PyUnicode_CheckExact(id)) return borrow(id);
  RG_LET(text, steal(PyObject_Repr(id)));
  return steal(PyTuple_Pack(1, text.get()));
}

Ref session_key(PyObject* row) {
  PyObject* id = PyDict_Check(row) ? PyDict_GetItemWithError(row, S("session_id")) : nullptr;
  return id ? id_key(id) : PyErr_Occurred() ? Ref() : none();
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
