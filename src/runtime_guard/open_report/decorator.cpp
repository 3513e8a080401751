// `runtimeguard(name=None)`: an open report before every call or instantiation. The wrapper is a
// real `types.FunctionType` (PySide reads `__code__.co_flags`) dressed by `functools.wraps`; its
// cell holds the guard, which reports and calls the wrapped callable. It takes a function's
// parameters (PySide passes a slot as many signal arguments as it takes) and calls them refuse
// run its code, raising the function's TypeError first: PyQt takes it for "call again with fewer".
#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/native.hpp"
#include "capi/call.hpp"
#include "open_report/native_frames.hpp"

#include <opcode.h>

namespace rg {
namespace {
// Compiled once: 3.11's parser was seen to corrupt the heap when compiling under memory
// pressure, so wrappers with a function's parameters are made from `_shaped` by replacement.
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

// The guard's state (wrapped, label, names, binder, init), held for the call so the collector
// clearing the guard frees nothing in use; `names` and `binder` are None for `(*args, **kwargs)`.
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

// _before_call(label): report_open(label); it and a frameless wrapper count as call levels only
// while the report is made, so a body switching C stacks (greenlets) leaves no entry behind.
int report(const Guard& g, Py_ssize_t nargs, PyObject* self_obj, bool frameless) {
  // A call a Python function refuses for too many positional arguments makes no report: Qt
  // calls a slot with a signal's arguments and, on that TypeError, again with fewer.
  if (!g.init && PyFunction_Check(g.wrapped)) {
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GetCode(g.wrapped));
    if (!(code->co_flags & CO_VARARGS) && nargs > code->co_argcount) return 0;
  }
  ModuleScope scope(g.module);
  PyObject* wrapper_name = g.init ? S("_init") : S("_wrapper");
  NativeFrameScope wrapper_level(frameless ? wrapper_name : nullptr, self_obj);
  NativeFrameScope level(S("_before_call"), nullptr);
  RG_CHECK(call(G("report_open"), g.label));
  return 0;
}

// The arguments back from a shaped wrapper's `locals()`: positional ones (and *args) by
// position, keyword-only ones (and **kwargs) by keyword.
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

// From the wrapper's own code (a call level of its own): guard(args, kwargs) or guard(locals()).
PyObject* guard_entry(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Guard g;
  if (!read_guard(self, g))  // cleared by the collector, still reached from its cycle
    return PyErr_Format(PyExc_ReferenceError,
                        "runtimeguard wrapper was cleared by garbage collection");
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  const bool from_locals = g.names != Py_None && n == 1;
  Tuple positional = n == 2 ? Tuple::probe(args[0]) : Tuple();
  Dict keywords = n == 2 ? Dict::probe(args[1]) : Dict();
  if (kwnames || (!from_locals && (!positional || !keywords)))
    return PyErr_Format(PyExc_TypeError, "a runtimeguard guard takes a tuple and a dict");
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

// `_shaped` or `_binds` made to take `fn_code`'s first `count` locals, `names`, as parameters;
// `_shaped`'s cell, which comes after the locals, is read from its new place.
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

// The wrapper's code, binder and parameter names for the Python function `fn`; all empty (the
// `(*args, **kwargs)` code serves) for other callables, a parameter `guard`, over 255 of them.
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

// False for a function whose code or cell was replaced since: it then runs as Python would.
bool guard_of(PyFunctionObject* f, Guard& g) {
  auto* code = reinterpret_cast<PyCodeObject*>(f->func_code);
  auto* ours = reinterpret_cast<PyCodeObject*>(trampolines[kWrapper]);
  if (code->co_filename != ours->co_filename) return false;
  Tuple closure = Tuple::probe(f->func_closure);
  if (!closure || closure.size() != 1 || !PyCell_Check(closure.at(0))) return false;
  Ref guard = steal(PyCell_Get(closure.at(0)));
  return guard && read_guard(guard.get(), g);
}

// Frameless: the guard counts the wrapper's level. Calls whose binding might fail (`_init`
// without a positional `self`, or one the binder refuses) run the code, for the function's errors.
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

// @functools.wraps(wrapped) over a fresh wrapper around a new guard of `wrapped`.
Ref dressed(PyObject* wrapped, PyObject* label, bool init) {
  RG_LET(wraps, call_method(G("functools"), S("wraps"), wrapped));
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
  return call(wraps, function);
}

// A wrapper of an `async def` must pass as a coroutine function. From 3.12
// inspect.markcoroutinefunction answers inspect and asyncio; 3.11's asyncio reads its own
// marker, imported only for a coroutine function so a host without asyncio never loads it.
int mark_coroutine_function(PyObject* wrapped, PyObject* wrapper) {
  RG_LET(inspect, G("inspect"));
  RG_LET(is_coroutine, call_method(inspect, S("iscoroutinefunction"), wrapped));
  RG_TRUTH(coroutine, is_coroutine.get());
  if (!coroutine) return 0;
#if PY_VERSION_HEX >= 0x030C0000
  RG_CHECK(call_method(inspect, S("markcoroutinefunction"), wrapper));
  return 0;
#else
  Ref marker = import_from("asyncio.coroutines", S("_is_coroutine"));
  if (!marker) return catch_ordinary() ? 0 : -1;  // no asyncio: nothing could ask
  return PyObject_SetAttr(wrapper, S("_is_coroutine"), marker.get());
#endif
}

// The label, fixed once: the factory's name, else the qualified name, else the bare name.
Ref label_for(PyObject* name, PyObject* fn) {
  RG_TRUTH(named, name);
  if (named) return call(G("_clip_feature"), name);
  RG_LET(qualname, attr_or(fn, S("__qualname__"), Py_None));
  RG_TRUTH(has_qualname, qualname.get());
  RG_LET(text, has_qualname ? std::move(qualname) : attr_or(fn, S("__name__"), S("unknown")));
  return call(G("_clip_feature"), text);
}

// _decorate(fn): a class gets a reporting __init__; any other callable is returned wrapped.
PyObject* decorate(PyObject* name, PyObject* const* args) {
  PyObject* fn = args[0];
  RG_LET(label, label_for(name, fn));
  RG_LET(isclass, call_method(G("inspect"), S("isclass"), fn));
  RG_TRUTH(is_class, isclass.get());
  if (!is_class) {
    RG_LET(wrapper, dressed(fn, label.get(), false));
    RG_CHECK_OK(mark_coroutine_function(fn, wrapper.get()));
    return wrapper.release();
  }
  RG_LET(original_init, attr(fn, S("__init__")));
  RG_LET(init, dressed(original_init.get(), label.get(), true));
  RG_CHECK_OK(PyObject_SetAttr(fn, S("__init__"), init.get()));
  return Py_NewRef(fn);
}
}  // namespace

RG_DEF(Function, 20, runtimeguard, "runtimeguard(name=None)",
       "Decorator factory: send an open report on every call or instantiation.\n"
       "\n"
       "``name`` is the feature label; it defaults to the wrapped callable's qualified name,\n"
       "or the class name. Use ``@runtimeguard()`` on a function and\n"
       "``@runtimeguard(\"Segmentation\")`` on a class: each call of the function, or each\n"
       "instantiation of the class, reports first, then runs the body unchanged. Bare\n"
       "``@runtimeguard`` works as ``@runtimeguard()``.")
Ref runtimeguard(PyObject* name) {
  // Bare @runtimeguard: the function or class came where the label goes.
  if (!PyUnicode_Check(name) && PyCallable_Check(name)) {
    PyObject* fn[] = {name};
    return steal(decorate(Py_None, fn));
  }
  return make_closure("runtimeguard.<locals>._decorate", "fn", decorate, name);
}
}  // namespace rg
