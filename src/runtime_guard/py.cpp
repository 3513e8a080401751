#include "py.hpp"

namespace rg {

Ref call_kw(PyObject* fn, std::initializer_list<PyObject*> positional,
            std::initializer_list<Kw> keywords) {
  const size_t np = positional.size(), nk = keywords.size();
  PyObject* argv[16];
  if (np + nk + 1 > 16) {
    PyErr_SetString(PyExc_SystemError, "call_kw: too many arguments");
    return {};
  }
  size_t i = 1;
  for (PyObject* a : positional) argv[i++] = a;
  Ref names;
  if (nk) {
    names = steal(PyTuple_New(static_cast<Py_ssize_t>(nk)));
    if (!names) return {};
    Py_ssize_t k = 0;
    for (const Kw& kw : keywords) {
      Py_INCREF(kw.name);
      PyTuple_SET_ITEM(names.get(), k++, kw.name);
      argv[i++] = kw.value;
    }
  }
  return steal(PyObject_Vectorcall(fn, argv + 1, np | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

Ref import_from(const char* module, PyObject* name) {
  Ref m = TRY(import(module));
  Ref v = steal(PyObject_GetAttr(m.get(), name));
  if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    // Match `from m import name`: an ImportError, not an AttributeError.
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s'", name, module);
  }
  return v;
}

Ref catch_ordinary() {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_Exception)) return {};
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb && v) PyException_SetTraceback(v, tb);
  Py_XDECREF(t);
  Py_XDECREF(tb);
  return steal(v);
}

}  // namespace rg
