// What `runtimeguard` puts in place of a function (`_wrapper`) or of a class's initialiser
// (`_init`): a real `types.FunctionType`, so everything that inspects functions (PySide reads
// `__code__` and its `co_flags` unchecked, mock's autospec, pytest, `inspect`) finds the nested
// def it stands for. Its one cell holds the guard, a native function that reports and then calls
// the wrapped callable; its code is a one-line body handing the guard what it received. For a
// Python function the code takes that function's parameters and defaults (PySide gives a slot as
// many of a signal's arguments as its code takes); any other callable gets `(*args, **kwargs)`.
//
// Its vectorcall goes to the guard directly, without a frame (3.11 still runs the code for calls
// from Python code). Calls the parameters refuse run the code, whose binding fails with the
// function's very TypeError before any report: PyQt takes it for "call again with fewer".
#include "open_report/wrapper.hpp"

#include "capi/scope.hpp"
#include "capi/native.hpp"
#include "capi/call.hpp"
#include "open_report/native_frames.hpp"

#include <opcode.h>

namespace rg {

namespace {

// The nested defs of the description, their bodies handing the guard the positional arguments
// as a tuple and the keywords as a dict, or `_shaped`'s its locals. Compiled once: 3.11's parser
// was seen to corrupt the heap when compiling under memory pressure, so wrappers with a
// function's parameters are made from `_shaped` by replacement, not compiled.
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
    "            pass\n"
    "        return _wrapper, _init, _shaped, _binds\n"
    "    return _decorate\n";

// Their code objects, immutable and free of module state: made once per process and kept.
enum Trampoline { kWrapper, kInit, kShaped, kBinds, kTrampolineCount };
PyObject* trampolines[kTrampolineCount];
vectorcallfunc python_vectorcall = nullptr;  // what a function made by PyFunction_New calls

// The guard's state, a tuple (wrapped, label, names, binder, init): `wrapped` is the decorated
// callable or the class's original initialiser; `names` and `binder` are the wrapper's parameter
// names and its binder when it takes the wrapped function's, else None.
// Held for the call, so the collector clearing the guard meanwhile frees nothing in use.
struct Guard {
  Tuple state;
  PyObject *module, *wrapped, *label, *names, *binder;
  bool init;
};

PyObject* guard_entry(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

bool read_guard(PyObject* guard, Guard& g) {
  g.state = Tuple::probe_exact(native_state(guard, guard_entry, &g.module));
  if (!g.state) return false;
  g.wrapped = g.state.at(0);
  g.label = g.state.at(1);
  g.names = g.state.at(2);
  g.binder = g.state.at(3);
  g.init = g.state.at(4) == Py_True;
  return true;
}

// A Python function `wrapped` refuses more positional arguments than its code takes, before
// its body runs. Such a call makes no report: Qt's bindings call a slot with a signal's
// arguments and, on that TypeError, call it again with fewer (one open per emission).
bool cannot_take(PyObject* wrapped, Py_ssize_t nargs) {
  if (!PyFunction_Check(wrapped)) return false;
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GetCode(wrapped));
  return !(code->co_flags & CO_VARARGS) && nargs > code->co_argcount;
}

// _before_call(label): report_open(label). For name inference it counts as a call level, and
// so does the wrapper (with `_init`'s `self`) when it runs without a frame of its own, but only
// while the report is made: the native-frame list is per thread, and a body that switches C
// stacks (greenlets) must not leave an entry behind for other code to walk.
int report(const Guard& g, Py_ssize_t nargs, PyObject* self_obj, bool frameless) {
  if (!g.init && cannot_take(g.wrapped, nargs)) return 0;
  ModuleScope scope(g.module);
  PyObject* wrapper_name = g.init ? S("_init") : S("_wrapper");
  NativeFrameScope wrapper_level(frameless ? wrapper_name : nullptr, self_obj);
  NativeFrameScope level(S("_before_call"), nullptr);
  RG_LET(report_open, G("report_open"));
  RG_CHECK(call(report_open, g.label));
  return 0;
}

// The arguments of a wrapper with the wrapped function's parameters, back from its `locals()`:
// positional ones (and *args) by position, keyword-only ones (and **kwargs) by keyword, as the
// function binds them again.
int unbind(const Guard& g, PyObject* locals, Tuple& positional, Dict& keywords) {
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GetCode(g.binder));
  const int n_positional = code->co_argcount, n_named = n_positional + code->co_kwonlyargcount;
  const Tuple names = Tuple::borrowed(g.names);
  keywords = Dict::fresh(PyDict_New());
  if (!names || !keywords) return -1;
  RG_LET(items, steal(PyList_New(0)));
  for (int i = 0; i < n_named; ++i) {
    RG_LET(value, steal(PyObject_GetItem(locals, names.at(i))));
    RG_CHECK_OK(i < n_positional ? PyList_Append(items.get(), value.get())
                                 : PyDict_SetItem(keywords.get(), names.at(i), value.get()));
  }
  Py_ssize_t at = n_named;
  if (code->co_flags & CO_VARARGS) {
    RG_LET(rest, steal(PyObject_GetItem(locals, names.at(at++))));
    RG_CHECK_OK(PyList_SetSlice(items.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, rest.get()));
  }
  if (code->co_flags & CO_VARKEYWORDS) {
    RG_LET(more, steal(PyObject_GetItem(locals, names.at(at))));
    RG_CHECK_OK(PyDict_Update(keywords.get(), more.get()));
  }
  positional = Tuple::fresh(PyList_AsTuple(items.get()));
  return positional ? 0 : -1;
}

// From the wrapper function's own code, whose frame bound the arguments and is a call level of
// its own: guard(args, kwargs), or guard(locals()) from a wrapper with the function's
// parameters.
PyObject* guard_entry(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Guard g;
  if (!read_guard(self, g)) {  // cleared by the collector, still reached from its cycle
    PyErr_SetString(PyExc_ReferenceError, "runtimeguard wrapper was cleared by garbage collection");
    return nullptr;
  }
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  const bool from_locals = g.names != Py_None && n == 1;
  Tuple positional = n == 2 ? Tuple::probe(args[0]) : Tuple();
  Dict keywords = n == 2 ? Dict::probe(args[1]) : Dict();
  if (kwnames || (!from_locals && (!positional || !keywords))) {
    PyErr_SetString(PyExc_TypeError, "a runtimeguard guard takes a tuple and a dict");
    return nullptr;
  }
  if (from_locals) RG_CHECK_OK(unbind(g, args[0], positional, keywords));
  RG_CHECK_OK(report(g, positional.size(), nullptr, false));
  return PyObject_Call(g.wrapped, positional.get(), keywords.size() ? keywords.get() : nullptr);
}

int compile_trampolines() {
  if (trampolines[kWrapper]) return 0;
  RG_LET(code, steal(Py_CompileString(kTrampolines, "<runtimeguard>", Py_file_input)));
  RG_LET(ns, steal(PyDict_New()));
  RG_CHECK(steal(PyEval_EvalCode(code.get(), ns.get(), ns.get())));
  RG_LET(factory, mapping_get(ns.get(), S("runtimeguard")));
  RG_LET(decorate, call(factory));
  Tuple defs = Tuple::of(call(decorate, Py_None));
  if (!defs) return -1;
  for (int i = kTrampolineCount - 1; i >= 0; --i) {  // kWrapper, which says all are made, last
    PyObject* code = i < defs.size() ? PyFunction_GetCode(defs.at(i)) : nullptr;
    if (!code) return -1;
    trampolines[i] = Py_NewRef(code);
  }
  return 0;
}

// `template_code` (`_shaped` or `_binds`) made to take `fn_code`'s first `count` locals,
// `names`, as its parameters. Nothing is compiled: a cell (`_shaped`'s `guard`), which comes
// after the locals, is read from its new place.
Ref with_parameters(Trampoline which, PyCodeObject* fn_code, PyObject* names, int count) {
  auto* code = reinterpret_cast<PyCodeObject*>(trampolines[which]);
  const Bytes original = Bytes::of(steal(PyCode_GetCode(code)));
  if (!original) return {};
  Bytes patched = Bytes::fresh(PyBytes_FromStringAndSize(original.data(), original.size()));
  if (!patched) return {};
  char* op = patched.writable();  // fresh and not yet shared: patched in place
  for (Py_ssize_t i = 0; i + 1 < patched.size(); i += 2)
    if (static_cast<unsigned char>(op[i]) == LOAD_DEREF) op[i + 1] = static_cast<char>(count);
  RG_LET(replace, attr(trampolines[which], S("replace")));
  RG_LET(argcount, integer(fn_code->co_argcount));
  RG_LET(posonly, integer(fn_code->co_posonlyargcount));
  RG_LET(kwonly, integer(fn_code->co_kwonlyargcount));
  RG_LET(nlocals, integer(count));
  RG_LET(flags, integer(code->co_flags | (fn_code->co_flags & (CO_VARARGS | CO_VARKEYWORDS))));
  RG_LET(qualname, attr(trampolines[kWrapper], S("co_qualname")));
  return call_kw(replace, {},
                 {{S("co_code"), patched.get()}, {S("co_argcount"), argcount.get()},
                  {S("co_posonlyargcount"), posonly.get()}, {S("co_kwonlyargcount"), kwonly.get()},
                  {S("co_nlocals"), nlocals.get()}, {S("co_varnames"), names},
                  {S("co_flags"), flags.get()}, {S("co_name"), S("_wrapper")},
                  {S("co_qualname"), qualname.get()}});
}

// A function with `code` in the module's globals, taking `fn`'s defaults as its own would.
Ref function_with_defaults(PyObject* code, PyObject* fn) {
  RG_LET(function, steal(PyFunction_New(code, PyModule_GetDict(module()))));
  PyObject* defaults = PyFunction_GetDefaults(fn);
  PyObject* kwdefaults = PyFunction_GetKwDefaults(fn);
  RG_CHECK_OK(PyFunction_SetDefaults(function.get(), defaults ? defaults : Py_None));
  RG_CHECK_OK(PyFunction_SetKwDefaults(function.get(), kwdefaults ? kwdefaults : Py_None));
  return function;
}

// The wrapper's code, its binder and their parameter names, taking those of the Python
// function `fn`. All stay empty where that cannot be done (not a Python function, a parameter
// named `guard`, over 255 parameters): the `(*args, **kwargs)` code serves then.
int shape_for(PyObject* fn, Ref& shaped, Ref& binder, Ref& names) {
  if (!PyFunction_Check(fn)) return 0;
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GetCode(fn));
  const Py_ssize_t count = code->co_argcount + code->co_kwonlyargcount +
                           !!(code->co_flags & CO_VARARGS) + !!(code->co_flags & CO_VARKEYWORDS);
  Tuple varnames = Tuple::fresh(PyCode_GetVarnames(code));
  if (!varnames) return -1;
  if (count > 255 || varnames.size() < count) return 0;
  RG_LET(taken, steal(PyTuple_GetSlice(varnames.get(), 0, count)));
  const Answer clash = answer(PySequence_Contains(taken.get(), S("guard")));
  if (clash != Answer::kNo) return clash == Answer::kFailed ? -1 : 0;
  const int n = static_cast<int>(count);
  RG_LET(wrapper, with_parameters(kShaped, code, taken.get(), n));
  RG_LET(binds, with_parameters(kBinds, code, taken.get(), n));
  RG_LET(bound, function_with_defaults(binds.get(), fn));
  shaped = std::move(wrapper);
  binder = std::move(bound);
  names = std::move(taken);
  return 0;
}

// The guard of a wrapper function still running its own code into `g`; false for a function
// whose code or cell was replaced since (its code then runs as Python would run it).
bool guard_of(PyFunctionObject* f, Guard& g) {
  auto* code = reinterpret_cast<PyCodeObject*>(f->func_code);
  auto* ours = reinterpret_cast<PyCodeObject*>(trampolines[kWrapper]);
  if (code->co_filename != ours->co_filename) return false;
  Tuple closure = Tuple::probe(f->func_closure);
  if (!closure || closure.size() != 1 || !PyCell_Check(closure.at(0))) return false;
  Ref guard = steal(PyCell_Get(closure.at(0)));
  return guard && read_guard(guard.get(), g);
}

// A call that runs no frame of the wrapper: the guard counts the wrapper's level itself. Calls
// whose binding might fail run the wrapper's code, whose errors are the function's own: `_init`
// without `self` by position, or one its binder refuses.
PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
  Guard g;
  if (!guard_of(reinterpret_cast<PyFunctionObject*>(self), g))
    return python_vectorcall(self, args, nargsf, kwnames);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  bool by_code = g.init && nargs == 0;
  const Tuple keywords = g.init ? Tuple::probe(kwnames) : Tuple();
  for (Py_ssize_t k = 0; keywords && k < keywords.size(); ++k)
    by_code |= PyUnicode_CompareWithASCIIString(keywords.at(k), "self") == 0;
  if (!by_code && g.binder != Py_None) {
    by_code = !Ref(steal(PyObject_Vectorcall(g.binder, args, nargsf, kwnames)));
    if (by_code && !PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    if (by_code) PyErr_Clear();
  }
  if (by_code) return python_vectorcall(self, args, nargsf, kwnames);
  RG_CHECK_OK(report(g, nargs, g.init ? args[0] : nullptr, true));
  return PyObject_Vectorcall(g.wrapped, args, nargsf, kwnames);
}

}  // namespace

Ref make_guarded(PyObject* wrapped, PyObject* label, bool init) {
  RG_CHECK_OK(compile_trampolines());
  Ref shaped, binder, names;
  if (!init) RG_CHECK_OK(shape_for(wrapped, shaped, binder, names));
  RG_LET(state, steal(PyTuple_Pack(5, wrapped, label, names ? names.get() : Py_None,
                                   binder ? binder.get() : Py_None, init ? Py_True : Py_False)));
  RG_LET(guard, make_native("runtimeguard.<locals>._decorate.<locals>.guard", "*args", guard_entry,
                            state.get()));
  RG_LET(cell, steal(PyCell_New(guard.get())));
  RG_LET(closure, steal(PyTuple_Pack(1, cell.get())));
  RG_LET(function, shaped ? function_with_defaults(shaped.get(), wrapped)
                          : steal(PyFunction_New(trampolines[init ? kInit : kWrapper],
                                                 PyModule_GetDict(module()))));
  RG_CHECK_OK(PyFunction_SetClosure(function.get(), closure.get()));
  auto* f = reinterpret_cast<PyFunctionObject*>(function.get());
  if (!python_vectorcall) python_vectorcall = f->vectorcall;
#if PY_VERSION_HEX >= 0x030C0000
  PyFunction_SetVectorcall(f, wrapper_vectorcall);  // also keeps the specializer from inlining it
#else
  f->vectorcall = wrapper_vectorcall;  // what 3.12's PyFunction_SetVectorcall does
  f->func_version = 0;
#endif
  return function;
}

}  // namespace rg
