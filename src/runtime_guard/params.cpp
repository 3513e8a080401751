#include "params.hpp"

namespace rg {

namespace {

// As the interpreter words it: "f() takes from 0 to 1 positional arguments but 2 positional
// arguments (and 1 keyword-only argument) were given".
int too_many_positional(const Signature& sig, Py_ssize_t given, PyObject* const* out) {
  Py_ssize_t kwonly_given = 0;
  for (Py_ssize_t i = sig.positional; i < sig.count; ++i) kwonly_given += out[i] != nullptr;
  Ref takes = sig.defaults
                  ? steal(PyUnicode_FromFormat("from %zd to %zd", sig.positional - sig.defaults,
                                               sig.positional))
                  : steal(PyUnicode_FromFormat("%zd", sig.positional));
  const bool plural = sig.defaults || sig.positional != 1;
  Ref kwonly = kwonly_given ? steal(PyUnicode_FromFormat(
                                  " positional argument%s (and %zd keyword-only argument%s)",
                                  given != 1 ? "s" : "", kwonly_given,
                                  kwonly_given != 1 ? "s" : ""))
                            : str("");
  if (!takes || !kwonly) return -1;
  PyErr_Format(PyExc_TypeError, "%s() takes %U positional argument%s but %zd%U %s given",
               sig.function, takes.get(), plural ? "s" : "", given, kwonly.get(),
               given == 1 && !kwonly_given ? "was" : "were");
  return -1;
}

}  // namespace

int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  const Py_ssize_t bound = nargs < sig.positional ? nargs : sig.positional;
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < bound ? args[i] : nullptr;
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
  if (nargs > sig.positional) return too_many_positional(sig, nargs, out);
  return 0;
}

int missing_argument(const Signature& sig, Py_ssize_t index) {
  PyErr_Format(PyExc_TypeError, "%s() missing 1 required %s argument: '%s'", sig.function,
               index < sig.positional ? "positional" : "keyword-only", sig.names[index]);
  return -1;
}

PyObject* single_argument(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* value;
  if (bind_arguments(sig, args, nargs, kwnames, &value) < 0) return nullptr;
  if (!value) missing_argument(sig, 0);
  return value;
}

}  // namespace rg
