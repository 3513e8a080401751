// wire_safe (usage.hpp): surrogates out of the payload's text before it is sealed.
#include "capi/buffer.hpp"
#include "upload/usage.hpp"

namespace rg {

namespace {

constexpr Py_UCS4 kReplacement = 0xFFFD;

bool is_surrogate(Py_UCS4 c) { return c >= 0xD800 && c <= 0xDFFF; }

Ref text_safe(Str text, bool& changed) {
  const Py_ssize_t n = text.size();
  Py_ssize_t first = text.kind() == PyUnicode_1BYTE_KIND ? n : 0;  // one byte holds none
  while (first < n && !is_surrogate(text.at(first))) ++first;
  if (first == n) return text;
  changed = true;
  Buffer<Py_UCS4> out;
  Py_UCS4* d = out.room(static_cast<size_t>(n));
  if (!d) return failed;
  for (Py_ssize_t i = 0; i < n; ++i) d[i] = is_surrogate(text.at(i)) ? kReplacement : text.at(i);
  return steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, d, n));
}

Ref value_safe(PyObject* value, bool& changed);

// The dict with its keys and values made safe: the same dict when none changed, else a copy.
Ref dict_safe(PyObject* dict, bool& changed) {
  List items = List::fresh(PyDict_Items(dict));  // a snapshot: no host code runs while we walk it
  RG_CHECK(items);
  RG_LET(out, steal(PyDict_New()));
  bool any = false;
  for (Py_ssize_t i = 0; i < items.size(); ++i) {
    Tuple pair = Tuple::borrowed(items.at(i));
    RG_CHECK(pair);
    RG_LET(key, value_safe(pair.at(0), any));
    RG_LET(item, value_safe(pair.at(1), any));
    RG_CHECK_OK(PyDict_SetItem(out.get(), key.get(), item.get()));
  }
  if (!any) return borrow(dict);
  changed = true;
  return out;
}

Ref sequence_safe(PyObject* seq, bool& changed) {
  List items = List::fresh(PySequence_List(seq));
  RG_CHECK(items);
  bool any = false;
  for (Py_ssize_t i = 0; i < items.size(); ++i) {
    RG_LET(item, value_safe(items.at(i), any));
    RG_CHECK_OK(PyList_SetItem(items.get(), i, item.release()));
  }
  if (!any) return borrow(seq);
  changed = true;
  return items;
}

Ref value_safe(PyObject* value, bool& changed) {
  if (Str text = Str::probe(value)) return text_safe(std::move(text), changed);
  if (!PyDict_Check(value) && !PyList_Check(value) && !PyTuple_Check(value)) return borrow(value);
  if (Py_EnterRecursiveCall(" while making usage text sendable")) return failed;
  Ref out = PyDict_Check(value) ? dict_safe(value, changed) : sequence_safe(value, changed);
  Py_LeaveRecursiveCall();
  return out;
}

}  // namespace

Ref wire_safe(PyObject* value) {
  bool changed = false;
  return value_safe(value, changed);
}

}  // namespace rg
