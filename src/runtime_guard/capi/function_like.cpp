#include "capi/function_like.hpp"

namespace rg {

PyObject* bind_like_function(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self, PyObject* qualname) {
  if (!qualname) return PyUnicode_FromFormat("<function  at %p>", self);
  return PyUnicode_FromFormat("<function %U at %p>", qualname, self);
}

}  // namespace rg
