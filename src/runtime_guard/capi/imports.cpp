// Imports as the statements in the module's code make them.
#include "capi/module_scope.hpp"

namespace rg {

namespace {

// Whether the running code is the module body (an import there passes globals as locals).
thread_local bool t_in_body = false;

// The `__import__` of the running module's builtins, looked up as the interpreter does.
Ref builtin_import(PyObject* globals) {
  PyObject* builtins = PyDict_GetItemWithError(globals, S("__builtins__"));
  if (!builtins) {
    if (PyErr_Occurred()) return {};
    builtins = PyEval_GetBuiltins();
  }
  if (PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
  Ref fn = PyDict_Check(builtins) ? borrow(PyDict_GetItemWithError(builtins, S("__import__")))
                                  : steal(PyObject_GetItem(builtins, S("__import__")));
  if (!fn && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_KeyError)) return {};
  if (!fn) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, "__import__ not found");
  }
  return fn;
}

// __import__(name, globals(), locals(), fromlist, 0)
Ref call_import(const char* dotted, PyObject* fromlist) {
  PyObject* m = module();
  if (!m) return {};
  PyObject* globals = PyModule_GetDict(m);
  RG_LET(fn, builtin_import(globals));
  RG_LET(name, str(dotted));
  RG_LET(level, integer(0));
  return call(fn, name, globals, t_in_body ? globals : Py_None, fromlist, level);
}

}  // namespace

BodyScope::BodyScope() { t_in_body = true; }
BodyScope::~BodyScope() { t_in_body = false; }

namespace {

// The IMPORT_FROM step: module.name, or the submodule already in sys.modules under
// "<module.__name__>.name" (a submodule substituted there need not be an attribute of its
// package); ImportError as the interpreter words it otherwise.
Ref attribute_or_submodule(PyObject* m, PyObject* name) {
  Ref v = attr(m, name);
  if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
  PyErr_Clear();
  Ref pkg = attr(m, S("__name__"));
  if (pkg && PyUnicode_Check(pkg.get())) {
    RG_LET(full, steal(PyUnicode_FromFormat("%U.%U", pkg.get(), name)));
    PyObject* sub = PyImport_GetModule(full.get());
    if (sub) return steal(sub);
    if (PyErr_Occurred()) return {};
  }
  PyErr_Clear();
  Ref shown = pkg && PyUnicode_Check(pkg.get()) ? std::move(pkg) : str("<unknown module name>");
  if (!shown) return {};
  PyObject* file = PyModule_Check(m) ? PyModule_GetFilenameObject(m) : nullptr;
  Ref path = steal(file);
  Ref message;
  if (path && PyUnicode_Check(path.get())) {
    message = steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, shown.get(),
                                         path.get()));
  } else {
    PyErr_Clear();
    path = nullptr;
    message = steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                         shown.get()));
  }
  if (message) PyErr_SetImportError(message.get(), shown.get(), path.get());
  return {};
}

}  // namespace

Ref import(const char* dotted) {
  RG_LET(top, call_import(dotted, Py_None));
  RG_LET(path, str(dotted));
  RG_LET(dot, str("."));
  RG_LET(parts, steal(PyUnicode_Split(path.get(), dot.get(), -1)));
  Ref value = std::move(top);
  // As `import a.b.c as v` walks it: each step may find a submodule through sys.modules.
  for (Py_ssize_t i = 1; i < PyList_GET_SIZE(parts.get()); ++i) {
    value = attribute_or_submodule(value.get(), PyList_GET_ITEM(parts.get(), i));
    if (!value) return {};
  }
  return value;
}

int import_from(const char* module_name, PyObject* const* names, size_t count, Ref* out) {
  RG_LET(fromlist, steal(PyTuple_New(static_cast<Py_ssize_t>(count))));
  for (size_t i = 0; i < count; ++i) {
    if (!names[i]) return null_argument(), -1;
    PyTuple_SET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names[i]));
  }
  RG_LET(m, call_import(module_name, fromlist.get()));
  for (size_t i = 0; i < count; ++i) {
    out[i] = attribute_or_submodule(m.get(), names[i]);
    if (!out[i]) return -1;
  }
  return 0;
}

Ref import_from(const char* module_name, PyObject* name) {
  Ref value;
  return import_from(module_name, &name, 1, &value) < 0 ? Ref() : std::move(value);
}

}  // namespace rg

