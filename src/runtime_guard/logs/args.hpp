// Argument parsing for the log functions, which take exactly one parameter (by position or
// by keyword) through the fast calling convention.
#pragma once

#include "py.hpp"

namespace rg::logs {

// The single argument `name` of `fn`, borrowed; null with TypeError set when the call does
// not pass exactly that argument.
inline PyObject* single_argument(const char* fn, const char* name, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", fn, nargs);
    return nullptr;
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (PyUnicode_CompareWithASCIIString(key, name) != 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, key);
      return nullptr;
    }
    if (nargs == 1) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn, name);
      return nullptr;
    }
  }
  if (nargs + nkw == 0) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", fn, name);
    return nullptr;
  }
  return args[0];
}

}  // namespace rg::logs
