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

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists missing arguments.
Ref list_names(const char* const* names, const bool* missing, Py_ssize_t count) {
  RG_LET(items, steal(PyList_New(0)));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!missing[i]) continue;
    RG_LET(item, steal(PyUnicode_FromFormat("'%s'", names[i])));
    if (PyList_Append(items.get(), item.get()) < 0) return {};
  }
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  if (n == 1) return borrow(PyList_GET_ITEM(items.get(), 0));
  RG_LET(last, borrow(PyList_GET_ITEM(items.get(), n - 1)));
  RG_LET(head, steal(PyList_GetSlice(items.get(), 0, n - 1)));
  RG_LET(comma, str(", "));
  RG_LET(joined, steal(PyUnicode_Join(comma.get(), head.get())));
  return steal(PyUnicode_FromFormat(n == 2 ? "%U and %U" : "%U, and %U", joined.get(), last.get()));
}

int missing_arguments(const char* function, const char* const* names, Py_ssize_t count,
                      PyObject* const* out) {
  bool missing[16] = {};
  Py_ssize_t n = 0;
  for (Py_ssize_t i = 0; i < count && i < 16; ++i) n += (missing[i] = out[i] == nullptr);
  Ref listed = list_names(names, missing, count < 16 ? count : 16);
  if (!listed) return -1;
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U", function, n,
               n == 1 ? "" : "s", listed.get());
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

int bind_required(const char* function, const char* const* names, Py_ssize_t count,
                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const Signature sig{function, names, count, count};
  if (bind_arguments(sig, args, nargs, kwnames, out) < 0) return -1;
  for (Py_ssize_t i = 0; i < count; ++i)
    if (!out[i]) return missing_arguments(function, names, count, out);
  return 0;
}

}  // namespace rg
