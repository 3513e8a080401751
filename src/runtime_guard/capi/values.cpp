#include "capi/values.hpp"

namespace rg {

int optional_attr(PyObject* obj, PyObject* name, Ref& out) {
  out = attr(obj, name);
  if (out) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback) {
  Ref value;
  const int found = optional_attr(obj, name, value);
  if (found < 0) return {};
  return found ? std::move(value) : borrow(fallback);
}

Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (mapping && key && PyDict_CheckExact(mapping)) {
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (value) return borrow(value);
    return PyErr_Occurred() ? Ref() : borrow(fallback ? fallback : Py_None);
  }
  return fallback ? call_method(mapping, S("get"), key, fallback) : call_method(mapping, S("get"), key);
}

Ref head(PyObject* value, long long stop) {
  RG_LET(end, integer(stop));
  RG_LET(slice, steal(PySlice_New(nullptr, end.get(), nullptr)));
  return steal(PyObject_GetItem(value, slice.get()));
}

int unpack_pair(PyObject* value, Ref& first, Ref& second) {
  if ((PyTuple_CheckExact(value) || PyList_CheckExact(value)) && PySequence_Fast_GET_SIZE(value) == 2) {
    first = borrow(PySequence_Fast_GET_ITEM(value, 0));
    second = borrow(PySequence_Fast_GET_ITEM(value, 1));
    return 0;
  }
  Ref it = steal(PyObject_GetIter(value));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter &&
        !PySequence_Check(value)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(value)->tp_name);
    }
    return -1;
  }
  Ref items[2];
  for (int i = 0; i < 2; ++i) {
    items[i] = steal(PyIter_Next(it.get()));
    if (!items[i]) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
      return -1;
    }
  }
  Ref extra = steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return -1;
  }
  if (PyErr_Occurred()) return -1;
  first = std::move(items[0]);
  second = std::move(items[1]);
  return 0;
}

}  // namespace rg
