#include "open_report/guarded.hpp"

#include "capi/function_like.hpp"
#include "capi/module_scope.hpp"
#include "open_report/native_frames.hpp"

namespace rg {

namespace {

// The metadata lives in fields, as a function's does, not in its __dict__: `vars(wrapper)`
// holds only what `functools.update_wrapper` copied and `__wrapped__`.
struct Guarded {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* module;   // the module it was made by: its dict holds `report_open`
  PyObject* wrapped;  // the decorated callable, or the class's original initialiser
  PyObject* label;
  PyObject* dict;
  PyObject* weakrefs;
  PyObject* name;         // a str; null (read as "") once the collector cleared it
  PyObject* qualname;     // likewise
  PyObject* modname;      // __module__
  PyObject* doc;          // null reads as None
  PyObject* annotations;  // made empty on first read
  GuardedKind kind;
};

// A str subclass set as a name can close a cycle, so the names are cleared with the rest.
using GuardedGc = GcFields<Guarded, &Guarded::module, &Guarded::wrapped, &Guarded::label, &Guarded::dict,
                           &Guarded::name, &Guarded::qualname, &Guarded::modname, &Guarded::doc,
                           &Guarded::annotations>;

Guarded* as_guarded(PyObject* self) { return GuardedGc::of(self); }

// _before_call(label): report_open(label). For name inference it counts as a call level, and
// so does the wrapper (`_wrapper`, or `_init` with its `self`) that called it, but only while
// the report is made: the native-frame list is per thread, and a body that switches C stacks
// (greenlets) must not leave an entry behind for other code on this thread to walk.
int before_call(Guarded* g, PyObject* wrapper_name, PyObject* self_obj) {
  ModuleScope scope(g->module);
  NativeFrameScope wrapper_level(wrapper_name, self_obj);
  NativeFrameScope level(S("_before_call"), nullptr);
  RG_LET(report, G("report_open"));
  RG_CHECK(call(report, g->label));
  return 0;
}

// _wrapper(*args, **kwargs): fn(*args, **kwargs)
PyObject* call_wrapper(Guarded* g, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  RG_CHECK_OK(before_call(g, S("_wrapper"), nullptr));
  return PyObject_Vectorcall(g->wrapped, args, nargsf, kwnames);
}

// Where `self` was passed among the keywords, or -1.
Py_ssize_t keyword_self(PyObject* kwnames) {
  const Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < n; ++k)
    if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), "self") == 0) return k;
  return -1;
}

// _init(self, *args, **kwargs): original_init(self, *args, **kwargs). Argument errors name
// the wrapper's qualified name, which functools.wraps made the original's.
PyObject* call_init(Guarded* g, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t self_at = keyword_self(kwnames);
  if (nargs > 0 && self_at >= 0) {
    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument 'self'", g->qualname);
    return nullptr;
  }
  if (nargs == 0 && self_at < 0) {
    PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: 'self'",
                 g->qualname);
    return nullptr;
  }
  if (self_at < 0) {
    RG_CHECK_OK(before_call(g, S("_init"), args[0]));
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
  RG_CHECK_OK(before_call(g, S("_init"), self_obj));
  return PyObject_Call(g->wrapped, positional.get(), keywords.get());
}

PyObject* guarded_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Guarded* g = as_guarded(self);
  if (!g->wrapped || !g->module) {  // cleared by the collector, still reached from its cycle
    PyErr_SetString(PyExc_ReferenceError, "runtimeguard wrapper was cleared by garbage collection");
    return nullptr;
  }
  return g->kind == GuardedKind::Init ? call_init(g, args, nargsf, kwnames)
                                      : call_wrapper(g, args, nargsf, kwnames);
}

// Pickled by reference, as a function is: the module attribute of that qualified name.
PyObject* guarded_reduce(PyObject* self, PyObject*) { return text_or_empty(as_guarded(self)->qualname); }

PyObject* guarded_repr(PyObject* self) { return function_repr(self, as_guarded(self)->qualname); }

// ---- the metadata, with a function's rules for setting it --------------------------------

int set_text(PyObject** field, PyObject* value, const char* what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_XSETREF(*field, Py_NewRef(value));
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return text_or_empty(as_guarded(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
  return set_text(&as_guarded(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return text_or_empty(as_guarded(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_text(&as_guarded(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
  Guarded* g = as_guarded(self);
  if (!g->annotations && !(g->annotations = PyDict_New())) return nullptr;
  return Py_NewRef(g->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;  // deleting or setting None: a fresh dict next read
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_guarded(self)->annotations, Py_XNewRef(value));
  return 0;
}

// The nested def's own parameters, what inspect.signature shows once `__wrapped__` is gone.
PyObject* get_text_signature(PyObject* self, void*) {
  return PyUnicode_FromString(as_guarded(self)->kind == GuardedKind::Init
                                  ? "(self, *args, **kwargs)"
                                  : "(*args, **kwargs)");
}

PyMethodDef guarded_methods[] = {
    {"__reduce__", guarded_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef guarded_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    dict_getset,
    {},
};

PyMemberDef guarded_members[] = {
    {"__module__", T_OBJECT, offsetof(Guarded, modname), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Guarded, doc), 0, nullptr},
    RG_FUNCTION_MEMBERS(Guarded),
    offset_member("__weaklistoffset__", offsetof(Guarded, weakrefs)),
    {},
};

PyType_Slot guarded_slots[] = {
    RG_FUNCTION_SLOTS(GuardedGc),
    {Py_tp_repr, reinterpret_cast<void*>(guarded_repr)},
    {Py_tp_methods, guarded_methods},
    {Py_tp_getset, guarded_getset},
    {Py_tp_members, guarded_members},
    {0, nullptr},
};

PyType_Spec guarded_spec = {
    "orlune.core.runtime_guard.GuardedCallable", sizeof(Guarded), 0,
    kFunctionFlags | Py_TPFLAGS_METHOD_DESCRIPTOR, guarded_slots};

}  // namespace

Ref make_guarded(PyObject* wrapped, PyObject* label, GuardedKind kind) {
  const bool init = kind == GuardedKind::Init;
  RG_LET(modname, G("__name__"));
  RG_LET(name, str(init ? "_init" : "_wrapper"));
  RG_LET(qualname, str(init ? "runtimeguard.<locals>._decorate.<locals>._init"
                            : "runtimeguard.<locals>._decorate.<locals>._wrapper"));
  Guarded* g = new_instance<Guarded, &guarded_spec>();
  if (!g) return {};
  g->vectorcall = guarded_call;
  g->module = Py_NewRef(module());
  g->wrapped = Py_NewRef(wrapped);
  g->label = Py_NewRef(label);
  g->name = name.release();
  g->qualname = qualname.release();
  g->modname = modname.release();
  g->kind = kind;
  return tracked(g);
}

}  // namespace rg
