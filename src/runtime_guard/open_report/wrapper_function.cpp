// The wrapper `runtimeguard` returns is a real function, `types.FunctionType`: C code that
// reads a function's fields (PySide reads `__code__` and its `co_flags` unchecked), `mock`'s
// autospec, `inspect.isfunction`, and `functools.wraps` on every interpreter treat it as the
// nested def it stands for. Its one closure cell holds the guard, a native callable that does
// the work; its code is a one-line body handing the guard what it received.
//
// For a Python function the code takes that function's parameters (and its defaults): PySide
// gives a slot as many of a signal's arguments as the slot's code takes, so a decorated slot
// gets what the undecorated one would. Any other callable gets `(*args, **kwargs)`.
//
// Its vectorcall goes to the guard directly, without running that body: no frame to make,
// arguments passed on exactly as given. A wrapper with the function's parameters first calls
// its binder, a function taking the same parameters that does nothing: a call those
// parameters refuse then runs the wrapper's code, whose binding fails with the function's
// very TypeError, with no traceback (PyQt takes such an error for "call again with fewer
// arguments") and before any report. 3.11 runs a function's code itself for calls from
// Python code, whatever its vectorcall, so there the body serves those calls; 3.12 and later
// follow the vectorcall everywhere (PyFunction_SetVectorcall also keeps the specializer from
// inlining the code).
#include "open_report/guarded.hpp"

#include "capi/module_scope.hpp"

#include <opcode.h>

namespace rg {

namespace {

// The nested defs as the decorator's description has them, their bodies handing the guard
// the positional arguments as a tuple and the keywords as a dict, or `_shaped`'s its locals.
// Compiled once: 3.11's parser crashes on an allocation failure inside a call with `*` and
// `**` (none here), and compiling per decoration under memory pressure was seen to corrupt
// the heap, so wrappers with a function's parameters are made from `_shaped` by replacement.
constexpr const char* kTrampolines =
    "def runtimeguard(name=None):\n"
    "    def _decorate(fn):\n"
    "        guard = None\n"
    "        def _wrapper(*args, **kwargs):\n"
    "            return guard(args, kwargs)\n"
    "        def _init(self, *args, **kwargs):\n"
    "            return guard((self, *args), kwargs)\n"
    "        def _shaped():\n"
    "            return guard(locals())\n"
    "        def _binds():\n"
    "            pass\n";

// Code objects are immutable and hold no module state: compiled once per process and kept.
PyObject* wrapper_code = nullptr;
PyObject* init_code = nullptr;
PyObject* shaped_code = nullptr;  // `_shaped`, made into a wrapper with a function's parameters
PyObject* binds_code = nullptr;   // `_binds`, made into the binder of such a wrapper
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
  PyObject* shaped = init ? nested_code(decorate, "_shaped") : nullptr;
  PyObject* binds = shaped ? nested_code(decorate, "_binds") : nullptr;
  if (!binds) return -1;
  wrapper_code = Py_NewRef(wrapper);
  init_code = Py_NewRef(init);
  shaped_code = Py_NewRef(shaped);
  binds_code = Py_NewRef(binds);
  return 0;
}

// `template_code` (`_shaped` or `_binds`) made to take `fn_code`'s first `count` locals,
// `names`, as its parameters. Nothing is compiled: a cell (`_shaped`'s `guard`), which comes
// after the locals, is read from its new place.
Ref with_parameters(PyObject* template_code, PyCodeObject* fn_code, PyObject* names, int count) {
  auto* code = reinterpret_cast<PyCodeObject*>(template_code);
  RG_LET(template_bytes, steal(PyCode_GetCode(code)));
  RG_LET(bytes, steal(PyByteArray_FromObject(template_bytes.get())));
  char* op = PyByteArray_AS_STRING(bytes.get());
  for (Py_ssize_t i = 0; i + 1 < PyByteArray_GET_SIZE(bytes.get()); i += 2)
    if (static_cast<unsigned char>(op[i]) == LOAD_DEREF) op[i + 1] = static_cast<char>(count);
  RG_LET(patched, steal(PyBytes_FromStringAndSize(op, PyByteArray_GET_SIZE(bytes.get()))));
  RG_LET(replace, attr(template_code, S("replace")));
  RG_LET(argcount, integer(fn_code->co_argcount));
  RG_LET(posonly, integer(fn_code->co_posonlyargcount));
  RG_LET(kwonly, integer(fn_code->co_kwonlyargcount));
  RG_LET(nlocals, integer(count));
  const int star_flags = fn_code->co_flags & (CO_VARARGS | CO_VARKEYWORDS);
  RG_LET(new_flags, integer(code->co_flags | star_flags));
  RG_LET(qualname, attr(wrapper_code, S("co_qualname")));
  return call_kw(replace, {},
                 {{S("co_code"), patched.get()}, {S("co_argcount"), argcount.get()},
                  {S("co_posonlyargcount"), posonly.get()}, {S("co_kwonlyargcount"), kwonly.get()},
                  {S("co_nlocals"), nlocals.get()}, {S("co_varnames"), names},
                  {S("co_flags"), new_flags.get()}, {S("co_name"), S("_wrapper")},
                  {S("co_qualname"), qualname.get()}});
}

// The wrapper's code and its binder's, taking the parameters of the Python function `fn`,
// into `shaped` and `binds`; both stay empty where that cannot be done (not a Python
// function, a parameter named `guard`, over 255 parameters) and the `(*args, **kwargs)`
// code serves.
int shape_for(PyObject* fn, Ref& shaped, Ref& binds) {
  if (!PyFunction_Check(fn)) return 0;
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(fn));
  const int flags = code->co_flags & (CO_VARARGS | CO_VARKEYWORDS);
  const Py_ssize_t count = code->co_argcount + code->co_kwonlyargcount + !!(flags & CO_VARARGS) +
                           !!(flags & CO_VARKEYWORDS);
  RG_LET(varnames, steal(PyCode_GetVarnames(code)));
  if (count > 255 || PyTuple_GET_SIZE(varnames.get()) < count) return 0;
  RG_LET(names, steal(PyTuple_GetSlice(varnames.get(), 0, count)));
  const int clash = PySequence_Contains(names.get(), S("guard"));
  if (clash) return clash;
  RG_LET(wrapper, with_parameters(shaped_code, code, names.get(), static_cast<int>(count)));
  RG_LET(binder, with_parameters(binds_code, code, names.get(), static_cast<int>(count)));
  shaped = std::move(wrapper);
  binds = std::move(binder);
  return 0;
}

// A function with `code` in the module's globals, taking `fn`'s defaults as its own would.
Ref function_with_defaults(PyObject* code, PyObject* fn) {
  RG_LET(function, steal(PyFunction_New(code, PyModule_GetDict(module()))));
  PyObject* defaults = PyFunction_GET_DEFAULTS(fn);
  PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(fn);
  RG_CHECK_OK(PyFunction_SetDefaults(function.get(), defaults ? defaults : Py_None));
  RG_CHECK_OK(PyFunction_SetKwDefaults(function.get(), kwdefaults ? kwdefaults : Py_None));
  return function;
}

// The guard of a wrapper function still running its own code, borrowed; null for a function
// whose code or cell was replaced since (its code then runs as Python would run it).
PyObject* guard_of(PyFunctionObject* f) {
  auto* code = reinterpret_cast<PyCodeObject*>(f->func_code);
  if (code->co_filename != reinterpret_cast<PyCodeObject*>(wrapper_code)->co_filename) return nullptr;
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
  if (PyObject* binder = guard_binder(guard)) {
    Ref bound = steal(PyObject_Vectorcall(binder, args, nargsf, kwnames));
    if (!bound) {  // refused: the wrapper's code refuses it too, with the error that names it
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
      PyErr_Clear();
      return python_vectorcall(self, args, nargsf, kwnames);
    }
  }
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
  Ref shaped, binds, binder;
  if (kind == GuardedKind::Wrapper) RG_CHECK_OK(shape_for(wrapped, shaped, binds));
  if (binds) binder = function_with_defaults(binds.get(), wrapped);
  if (binds && !binder) return {};
  RG_LET(guard, make_guard(wrapped, label, kind, shaped.get(), binder.get()));
  RG_LET(cell, steal(PyCell_New(guard.get())));
  RG_LET(closure, steal(PyTuple_Pack(1, cell.get())));
  PyObject* code = shaped ? shaped.get() : kind == GuardedKind::Init ? init_code : wrapper_code;
  // Its parameters take the wrapped function's defaults, as its own would.
  Ref function = shaped ? function_with_defaults(code, wrapped)
                        : steal(PyFunction_New(code, PyModule_GetDict(module())));
  if (!function) return {};
  RG_CHECK_OK(PyFunction_SetClosure(function.get(), closure.get()));
  install_vectorcall(reinterpret_cast<PyFunctionObject*>(function.get()));
  return function;
}

}  // namespace rg
