#include "capi/function_like.hpp"

namespace rg {

PyObject* bind_like_function(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* text_or_empty(PyObject* field) {
  return field ? Py_NewRef(field) : PyUnicode_New(0, 0);  // the shared empty str: never fails
}

PyObject* function_repr(PyObject* self, PyObject* qualname) {
  Ref text = steal(text_or_empty(qualname));
  return PyUnicode_FromFormat("<function %U at %p>", text.get(), self);
}

}  // namespace rg
