#include "open_report/guarded.hpp"

#include "capi/function_like.hpp"
#include "capi/module_scope.hpp"
#include "open_report/native_frames.hpp"

namespace rg {

namespace {

// The guard: the state the described nested def closes over (`fn`, `label`, and the module
// whose `report_open` `_before_call` reads), callable through vectorcall.
struct Guard {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* module;
  PyObject* wrapped;  // the decorated callable, or the class's original initialiser
  PyObject* label;
  PyObject* shape;  // the names of the wrapper's parameters when they are the wrapped function's
  PyObject* binder;  // with `shape`: a function taking those parameters that does nothing
  int n_positional, n_keyword;
  bool star, star_star;
  GuardedKind kind;
};

using GuardGc = GcFields<Guard, &Guard::module, &Guard::wrapped, &Guard::label, &Guard::shape,
                         &Guard::binder>;

Guard* as_guard(PyObject* self) { return GuardGc::of(self); }

// _before_call(label): report_open(label). For name inference it counts as a call level, and
// so does the wrapper (`_wrapper`, or `_init` with its `self`) when it runs without a frame of
// its own, but only while the report is made: the native-frame list is per thread, and a body
// that switches C stacks (greenlets) must not leave an entry behind for other code to walk.
int before_call(Guard* g, bool frameless, PyObject* self_obj) {
  ModuleScope scope(g->module);
  PyObject* wrapper_name = g->kind == GuardedKind::Init ? S("_init") : S("_wrapper");
  NativeFrameScope wrapper_level(frameless ? wrapper_name : nullptr, self_obj);
  NativeFrameScope level(S("_before_call"), nullptr);
  RG_LET(report, G("report_open"));
  RG_CHECK(call(report, g->label));
  return 0;
}

// A Python function `wrapped` refuses more positional arguments than its code takes, before
// its body runs. Such a call makes no report: Qt's bindings call a slot with a signal's
// arguments and, on that TypeError, call it again with fewer (one open per emission).
bool cannot_take(PyObject* wrapped, Py_ssize_t nargs) {
  if (!PyFunction_Check(wrapped)) return false;
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(wrapped));
  return !(code->co_flags & CO_VARARGS) && nargs > code->co_argcount;
}

// _wrapper(*args, **kwargs): fn(*args, **kwargs)
PyObject* call_wrapper(Guard* g, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (!cannot_take(g->wrapped, PyVectorcall_NARGS(nargsf))) RG_CHECK_OK(before_call(g, true, nullptr));
  return PyObject_Vectorcall(g->wrapped, args, nargsf, kwnames);
}

// Where `self` was passed among the keywords, or -1.
Py_ssize_t keyword_self(PyObject* kwnames) {
  const Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < n; ++k)
    if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), "self") == 0) return k;
  return -1;
}

// _init(self, *args, **kwargs): original_init(self, *args, **kwargs). Reached without the
// function's frame, the binding of `self` is done here as the function's code would: argument
// errors name the function's qualified name, which functools.wraps made the original's.
PyObject* call_init(Guard* g, PyObject* function_qualname, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t self_at = keyword_self(kwnames);
  if (nargs > 0 && self_at >= 0) {
    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument 'self'", function_qualname);
    return nullptr;
  }
  if (nargs == 0 && self_at < 0) {
    PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: 'self'",
                 function_qualname);
    return nullptr;
  }
  if (self_at < 0) {
    RG_CHECK_OK(before_call(g, true, args[0]));
    return PyObject_Vectorcall(g->wrapped, args, nargsf, kwnames);
  }
  // `self` by keyword (rare): passed on by position, as the Python body does.
  PyObject* self_obj = args[nargs + self_at];
  RG_LET(positional, steal(PyTuple_Pack(1, self_obj)));
  RG_LET(keywords, steal(PyDict_New()));
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (k != self_at && PyDict_SetItem(keywords.get(), key, args[nargs + k]) < 0) return nullptr;
  }
  RG_CHECK_OK(before_call(g, true, self_obj));
  return PyObject_Call(g->wrapped, positional.get(), keywords.get());
}

// Cleared by the collector, still reached from its cycle.
PyObject* cleared() {
  PyErr_SetString(PyExc_ReferenceError, "runtimeguard wrapper was cleared by garbage collection");
  return nullptr;
}

PyObject* guard_call(Guard* g, PyObject* function_qualname, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) {
  if (!g->wrapped || !g->module) return cleared();
  if (g->kind == GuardedKind::Init) return call_init(g, function_qualname, args, nargsf, kwnames);
  return call_wrapper(g, args, nargsf, kwnames);
}

// The arguments a wrapper with the wrapped function's parameters bound, back from its
// `locals()`: positional ones (and *args) by position, keyword-only ones (and **kwargs) by
// keyword, as the function binds them again.
int unbind(Guard* g, PyObject* locals, Ref& positional, Ref& keywords) {
  PyObject* names = g->shape;
  const int n_positional = g->n_positional, n_keyword = g->n_keyword;
  RG_LET(items, steal(PyList_New(0)));
  RG_LET(kw, steal(PyDict_New()));
  for (int i = 0; i < n_positional + n_keyword; ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    RG_LET(value, steal(PyObject_GetItem(locals, name)));
    RG_CHECK_OK(i < n_positional ? PyList_Append(items.get(), value.get())
                                 : PyDict_SetItem(kw.get(), name, value.get()));
  }
  Py_ssize_t at = n_positional + n_keyword;
  if (g->star) {
    RG_LET(rest, steal(PyObject_GetItem(locals, PyTuple_GET_ITEM(names, at++))));
    RG_CHECK_OK(PyList_SetSlice(items.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, rest.get()));
  }
  if (g->star_star) {
    RG_LET(more, steal(PyObject_GetItem(locals, PyTuple_GET_ITEM(names, at))));
    RG_CHECK_OK(PyDict_Update(kw.get(), more.get()));
  }
  positional = steal(PyList_AsTuple(items.get()));
  keywords = std::move(kw);
  return positional ? 0 : -1;
}

// From the wrapper function's own code, whose frame bound the arguments and is a call level of
// its own: guard(args, kwargs), or guard(locals()) from a wrapper with the function's
// parameters.
PyObject* guard_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Guard* g = as_guard(self);
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  const bool from_locals = g->shape && n == 1;
  if (kwnames || (!from_locals && (n != 2 || !PyTuple_Check(args[0]) || !PyDict_Check(args[1])))) {
    PyErr_SetString(PyExc_TypeError, "a runtimeguard guard takes a tuple and a dict");
    return nullptr;
  }
  if (!g->wrapped || !g->module) return cleared();
  Ref positional = borrow(args[0]), keywords = from_locals ? Ref() : borrow(args[1]);
  if (from_locals) RG_CHECK_OK(unbind(g, args[0], positional, keywords));
  const Py_ssize_t nargs = PyTuple_GET_SIZE(positional.get());
  if (g->kind == GuardedKind::Init) {
    RG_CHECK_OK(before_call(g, false, nargs > 0 ? PyTuple_GET_ITEM(positional.get(), 0) : nullptr));
  } else if (!cannot_take(g->wrapped, nargs)) {
    RG_CHECK_OK(before_call(g, false, nullptr));
  }
  PyObject* kw = PyDict_GET_SIZE(keywords.get()) ? keywords.get() : nullptr;
  return PyObject_Call(g->wrapped, positional.get(), kw);
}

PyObject* guard_repr(PyObject* self) {
  return PyUnicode_FromFormat("<runtimeguard guard %R>", as_guard(self)->label);
}

PyMemberDef guard_members[] = {
    offset_member("__vectorcalloffset__", offsetof(Guard, vectorcall)),
    {},
};

PyType_Slot guard_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    RG_GC_SLOTS(GuardGc),
    {Py_tp_repr, reinterpret_cast<void*>(guard_repr)},
    {Py_tp_members, guard_members},
    {0, nullptr},
};

PyType_Spec guard_spec = {
    "orlune.core.runtime_guard.Guard", sizeof(Guard), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    guard_slots};

}  // namespace

bool is_guard(PyObject* o) {
  PyTypeObject* type = process_type<&guard_spec>();
  return type && Py_IS_TYPE(o, type);
}

PyObject* call_guard_framelessly(PyObject* guard, PyObject* function_qualname, PyObject* const* args,
                                 size_t nargsf, PyObject* kwnames) {
  return guard_call(as_guard(guard), function_qualname, args, nargsf, kwnames);
}

PyObject* guard_binder(PyObject* guard) { return as_guard(guard)->binder; }

Ref make_guard(PyObject* wrapped, PyObject* label, GuardedKind kind, PyObject* shape,
               PyObject* binder) {
  Guard* g = new_instance<Guard, &guard_spec>();
  if (!g) return {};
  g->vectorcall = guard_vectorcall;
  g->module = Py_NewRef(module());
  g->wrapped = Py_NewRef(wrapped);
  g->label = Py_NewRef(label);
  if (shape) {
    auto* code = reinterpret_cast<PyCodeObject*>(shape);
    g->n_positional = code->co_argcount;
    g->n_keyword = code->co_kwonlyargcount;
    g->star = code->co_flags & CO_VARARGS;
    g->star_star = code->co_flags & CO_VARKEYWORDS;
    Ref names = steal(PyCode_GetVarnames(code));
    if (!names) {
      Py_DECREF(g);
      return {};
    }
    g->shape = names.release();
    g->binder = Py_NewRef(binder);
  }
  g->kind = kind;
  return tracked(g);
}

}  // namespace rg
