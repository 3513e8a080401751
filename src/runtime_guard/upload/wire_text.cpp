#include "upload/wire_text.hpp"

namespace rg {

namespace {

constexpr Py_UCS4 kReplacement = 0xFFFD;

bool is_surrogate(Py_UCS4 c) { return c >= 0xD800 && c <= 0xDFFF; }

// -1: none; else the index of the first surrogate. A one-byte string holds none.
Py_ssize_t first_surrogate(PyObject* text) {
  const int kind = PyUnicode_KIND(text);
  if (kind == PyUnicode_1BYTE_KIND) return -1;
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (is_surrogate(PyUnicode_READ(kind, data, i))) return i;
  return -1;
}

Ref text_safe(PyObject* text, bool& changed) {
  const Py_ssize_t first = first_surrogate(text);
  if (first < 0) return borrow(text);
  changed = true;
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  Py_UCS4 top = kReplacement;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (!is_surrogate(c) && c > top) top = c;
  }
  RG_LET(out, steal(PyUnicode_New(n, top)));
  const int out_kind = PyUnicode_KIND(out.get());
  void* out_data = PyUnicode_DATA(out.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    PyUnicode_WRITE(out_kind, out_data, i, is_surrogate(c) ? kReplacement : c);
  }
  return out;
}

Ref value_safe(PyObject* value, bool& changed);

// The dict with its keys and values made safe: the same dict when none changed, else a copy.
Ref dict_safe(PyObject* dict, bool& changed) {
  RG_LET(items, steal(PyDict_Items(dict)));  // a snapshot: no host code runs while we walk it
  bool any = false;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  RG_LET(fixed, steal(PyList_New(n)));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    RG_LET(key, value_safe(PyTuple_GET_ITEM(pair, 0), any));
    RG_LET(val, value_safe(PyTuple_GET_ITEM(pair, 1), any));
    PyList_SET_ITEM(fixed.get(), i, PyTuple_Pack(2, key.get(), val.get()));
    RG_CHECK(PyList_GET_ITEM(fixed.get(), i));
  }
  if (!any) return borrow(dict);
  changed = true;
  RG_LET(out, steal(PyDict_New()));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(fixed.get(), i);
    RG_CHECK_OK(PyDict_SetItem(out.get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)));
  }
  return out;
}

Ref sequence_safe(PyObject* seq, bool& changed) {
  RG_LET(items, steal(PySequence_List(seq)));
  bool any = false;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    RG_LET(item, value_safe(PyList_GET_ITEM(items.get(), i), any));
    RG_CHECK_OK(PyList_SetItem(items.get(), i, item.release()));
  }
  if (!any) return borrow(seq);
  changed = true;
  return items;
}

Ref value_safe(PyObject* value, bool& changed) {
  if (PyUnicode_Check(value)) return text_safe(value, changed);
  if (!PyDict_Check(value) && !PyList_Check(value) && !PyTuple_Check(value)) return borrow(value);
  if (Py_EnterRecursiveCall(" while making usage text sendable")) return {};
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
