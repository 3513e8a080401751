#include "params.hpp"

namespace rg {

int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (nargs > sig.positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 sig.function, sig.positional, sig.positional == 1 ? "" : "s", nargs,
                 nargs == 1 ? "was" : "were");
    return -1;
  }
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t i = 0;
    while (i < sig.count && PyUnicode_CompareWithASCIIString(key, sig.names[i]) != 0) ++i;
    if (i == sig.count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function,
                   key);
      return -1;
    }
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                   sig.names[i]);
      return -1;
    }
    out[i] = args[nargs + k];
  }
  return 0;
}

int missing_argument(const Signature& sig, Py_ssize_t index) {
  PyErr_Format(PyExc_TypeError, "%s() missing 1 required %s argument: '%s'", sig.function,
               index < sig.positional ? "positional" : "keyword-only", sig.names[index]);
  return -1;
}

}  // namespace rg
