#include "capi/declare.hpp"

namespace rg::declare {

PyObject* default_value(const Parameter& p, PyObject*& made) {
  switch (p.value) {
    case Default::None:
      return Py_None;
    case Default::True:
      return Py_True;
    case Default::False:
      return Py_False;
    case Default::Integer:
      if (!made) made = PyLong_FromLongLong(p.integer);
      return made;
    case Default::Float:
      if (!made) made = PyFloat_FromDouble(p.number);
      return made;
    case Default::Required:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "runtime_guard: a required parameter has no default");
  return nullptr;
}

}  // namespace rg::declare
