// The wrapper `runtimeguard` returns is a real function, `types.FunctionType`: C code that
// reads a function's fields (PySide reads `__code__` and its `co_flags` unchecked), `mock`'s
// autospec, `inspect.isfunction`, and `functools.wraps` on every interpreter treat it as the
// nested def it stands for. Its code is that def's, `_wrapper(*args, **kwargs)` (or
// `_init(self, *args, **kwargs)`), with a one-line body handing what it received to the guard,
// a native callable in its one closure cell that does the work.
//
// Its vectorcall goes to the guard directly, without running that body: no frame to make, and
// a TypeError from the wrapped function's argument binding carries no traceback (PyQt takes
// such an error for "call again with fewer arguments"). 3.11 runs a function's code itself
// for calls from Python code, whatever its vectorcall, so there the body serves those calls;
// 3.12 and later follow the vectorcall everywhere (PyFunction_SetVectorcall also keeps the
// specializer from inlining the code).
#include "open_report/guarded.hpp"

#include "capi/module_scope.hpp"

namespace rg {

namespace {

// The nested defs as the decorator's description has them, their bodies handing the guard
// the positional arguments as a tuple and the keywords as a dict. No call with `*` or `**` in
// the source: 3.11's parser crashes on an allocation failure while it reads one.
constexpr const char* kTrampolines =
    "def runtimeguard(name=None):\n"
    "    def _decorate(fn):\n"
    "        guard = None\n"
    "        def _wrapper(*args, **kwargs):\n"
    "            return guard(args, kwargs)\n"
    "        def _init(self, *args, **kwargs):\n"
    "            return guard((self, *args), kwargs)\n";

// Code objects are immutable and hold no module state: compiled once per process and kept.
PyObject* wrapper_code = nullptr;
PyObject* init_code = nullptr;
vectorcallfunc python_vectorcall = nullptr;  // what a function made by PyFunction_New calls

// The code object named `name` among `code`'s constants, borrowed; null if none.
PyObject* nested_code(PyObject* code, const char* name) {
  PyObject* consts = reinterpret_cast<PyCodeObject*>(code)->co_consts;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
    PyObject* c = PyTuple_GET_ITEM(consts, i);
    if (PyCode_Check(c) &&
        PyUnicode_CompareWithASCIIString(reinterpret_cast<PyCodeObject*>(c)->co_name, name) == 0)
      return c;
  }
  PyErr_Format(PyExc_SystemError, "runtimeguard: no code object %s", name);
  return nullptr;
}

int compile_trampolines() {
  if (wrapper_code) return 0;
  RG_LET(source, steal(Py_CompileString(kTrampolines, "<runtimeguard>", Py_file_input)));
  PyObject* factory = nested_code(source.get(), "runtimeguard");
  PyObject* decorate = factory ? nested_code(factory, "_decorate") : nullptr;
  PyObject* wrapper = decorate ? nested_code(decorate, "_wrapper") : nullptr;
  PyObject* init = wrapper ? nested_code(decorate, "_init") : nullptr;
  if (!init) return -1;
  wrapper_code = Py_NewRef(wrapper);
  init_code = Py_NewRef(init);
  return 0;
}

// The guard of a wrapper function still running its own code, borrowed; null for a function
// whose code or cell was replaced since (its code then runs as Python would run it).
PyObject* guard_of(PyFunctionObject* f) {
  if (f->func_code != wrapper_code && f->func_code != init_code) return nullptr;
  PyObject* closure = f->func_closure;
  if (!closure || !PyTuple_Check(closure) || PyTuple_GET_SIZE(closure) != 1) return nullptr;
  PyObject* cell = PyTuple_GET_ITEM(closure, 0);
  PyObject* guard = PyCell_Check(cell) ? PyCell_GET(cell) : nullptr;
  return guard && is_guard(guard) ? guard : nullptr;
}

PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* f = reinterpret_cast<PyFunctionObject*>(self);
  PyObject* guard = guard_of(f);
  if (!guard) return python_vectorcall(self, args, nargsf, kwnames);
  return call_guard_framelessly(guard, f->func_qualname, args, nargsf, kwnames);
}

void install_vectorcall(PyFunctionObject* f) {
  if (!python_vectorcall) python_vectorcall = f->vectorcall;
#if PY_VERSION_HEX >= 0x030C0000
  PyFunction_SetVectorcall(f, wrapper_vectorcall);
#else
  f->vectorcall = wrapper_vectorcall;  // what 3.12's PyFunction_SetVectorcall does
  f->func_version = 0;
#endif
}

}  // namespace

Ref make_guarded(PyObject* wrapped, PyObject* label, GuardedKind kind) {
  RG_CHECK_OK(compile_trampolines());
  RG_LET(guard, make_guard(wrapped, label, kind));
  RG_LET(cell, steal(PyCell_New(guard.get())));
  RG_LET(closure, steal(PyTuple_Pack(1, cell.get())));
  PyObject* code = kind == GuardedKind::Init ? init_code : wrapper_code;
  RG_LET(function, steal(PyFunction_New(code, PyModule_GetDict(module()))));
  RG_CHECK_OK(PyFunction_SetClosure(function.get(), closure.get()));
  install_vectorcall(reinterpret_cast<PyFunctionObject*>(function.get()));
  return function;
}

}  // namespace rg
