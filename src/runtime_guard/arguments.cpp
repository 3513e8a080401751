#include "arguments.hpp"

#include <cstring>

namespace rg {

namespace {

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

int bind_required(const char* function, const char* const* names, Py_ssize_t count,
                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t i = 0;
    while (i < count && PyUnicode_CompareWithASCIIString(key, names[i]) != 0) ++i;
    if (i == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, key);
      return -1;
    }
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   names[i]);
      return -1;
    }
    out[i] = args[nargs + k];
  }
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", function,
                 count, count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return -1;
  }
  for (Py_ssize_t i = 0; i < count; ++i)
    if (!out[i]) return missing_arguments(function, names, count, out);
  return 0;
}

}  // namespace rg
