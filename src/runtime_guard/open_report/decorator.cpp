// `runtimeguard(name=None)`: a decorator that sends an open report before every call of a
// function, or every instantiation of a class, then runs the body unchanged.
//
// The wrapper is a native callable that behaves like the function `functools.wraps` would
// make: vectorcall straight through to the wrapped callable, binding as a method
// (`tp_descr_get`, and the method-descriptor flag so method calls skip the bound object), a
// `__dict__` that `functools.update_wrapper` fills, weak references, and pickling by
// qualified name. `report_open` is looked up in the module dict on every call.
#include "module.hpp"
#include "native_closure.hpp"
#include "open_report/native_frames.hpp"
#include "params.hpp"
#include "registry.hpp"

#include <structmember.h>  // after Python.h

namespace rg {

namespace {

struct Guarded {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* module;   // the module it was made by: its dict holds `report_open`
  PyObject* wrapped;  // the decorated callable, or the class's original initialiser
  PyObject* label;
  PyObject* dict;
  PyObject* weakrefs;
  bool is_init;  // the class branch's `_init(self, *args, **kwargs)`
};

Guarded* as_guarded(PyObject* self) { return reinterpret_cast<Guarded*>(self); }

// _before_call(label): report_open(label)
int before_call(Guarded* g) {
  ModuleScope scope(g->module);
  RG_LET_INT(report, G("report_open"));
  RG_CHECK_INT(call(report, g->label));
  return 0;
}

PyObject* guarded_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Guarded* g = as_guarded(self);
  if (g->is_init && PyVectorcall_NARGS(nargsf) == 0) {
    PyErr_SetString(PyExc_TypeError, "_init() missing 1 required positional argument: 'self'");
    return nullptr;
  }
  if (before_call(g) < 0) return nullptr;
  return PyObject_Vectorcall(g->wrapped, args, nargsf, kwnames);
}

// Binds like a function: through an instance, a bound method; through the class, itself.
PyObject* guarded_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// Pickled by reference, as a function is: the module attribute of that qualified name.
PyObject* guarded_reduce(PyObject* self, PyObject*) {
  return PyObject_GetAttr(self, S("__qualname__"));
}

PyObject* guarded_repr(PyObject* self) {
  Ref qualname = attr(self, S("__qualname__"));
  if (!qualname) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
    return PyUnicode_FromFormat("<function at %p>", self);
  }
  return PyUnicode_FromFormat("<function %S at %p>", qualname.get(), self);
}

int guarded_traverse(PyObject* self, visitproc visit, void* arg) {
  Guarded* g = as_guarded(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(g->module);
  Py_VISIT(g->wrapped);
  Py_VISIT(g->label);
  Py_VISIT(g->dict);
  return 0;
}

int guarded_clear(PyObject* self) {
  Guarded* g = as_guarded(self);
  Py_CLEAR(g->module);
  Py_CLEAR(g->wrapped);
  Py_CLEAR(g->label);
  Py_CLEAR(g->dict);
  return 0;
}

void guarded_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_guarded(self)->weakrefs) PyObject_ClearWeakRefs(self);
  guarded_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef guarded_methods[] = {
    {"__reduce__", guarded_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef guarded_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef guarded_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Guarded, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Guarded, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Guarded, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot guarded_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(guarded_get)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(guarded_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(guarded_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded_dealloc)},
    {Py_tp_methods, guarded_methods},
    {Py_tp_getset, guarded_getset},
    {Py_tp_members, guarded_members},
    {0, nullptr},
};

PyType_Spec guarded_spec = {
    "orlune.core.runtime_guard.GuardedCallable", sizeof(Guarded), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    guarded_slots,
};

PyTypeObject* guarded_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&guarded_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

// What a fresh nested `def _wrapper` / `def _init` would carry before `functools.wraps`
// copies the wrapped object's metadata over it (a callable without `__name__`, say).
int preset_metadata(PyObject* dict, bool is_init) {
  RG_LET_INT(module_name, G("__name__"));
  RG_LET_INT(name, str(is_init ? "_init" : "_wrapper"));
  RG_LET_INT(qualname, str(is_init ? "runtimeguard.<locals>._decorate.<locals>._init"
                                   : "runtimeguard.<locals>._decorate.<locals>._wrapper"));
  RG_LET_INT(annotations, steal(PyDict_New()));
  const Kw fields[] = {{S("__module__"), module_name.get()}, {S("__name__"), name.get()},
                       {S("__qualname__"), qualname.get()},  {S("__doc__"), Py_None},
                       {S("__annotations__"), annotations.get()}};
  for (const Kw& f : fields)
    if (PyDict_SetItem(dict, f.name, f.value) < 0) return -1;
  return 0;
}

// The wrapper around `wrapped`, with functools.wraps(wrapped) applied.
Ref make_guarded(PyObject* wrapped, PyObject* label, bool is_init) {
  PyTypeObject* type = guarded_type();
  if (!type) return {};
  RG_LET(dict, steal(PyDict_New()));
  if (preset_metadata(dict.get(), is_init) < 0) return {};
  Guarded* g = PyObject_GC_New(Guarded, type);
  if (!g) return {};
  g->vectorcall = guarded_call;
  g->module = Py_NewRef(module());
  g->wrapped = Py_NewRef(wrapped);
  g->label = Py_NewRef(label);
  g->dict = dict.release();
  g->weakrefs = nullptr;
  g->is_init = is_init;
  PyObject_GC_Track(g);
  Ref wrapper = steal(reinterpret_cast<PyObject*>(g));
  RG_LET(functools, G("functools"));
  RG_CHECK(call_method(functools, S("update_wrapper"), wrapper, wrapped));
  return wrapper;
}

// The label, fixed once: the factory's name, else the qualified name, else the bare name.
Ref label_for(PyObject* name, PyObject* fn) {
  RG_LET(clip, G("_clip_feature"));
  int named = PyObject_IsTrue(name);
  if (named < 0) return {};
  if (named) return call(clip, name);
  RG_LET(qualname, attr_or(fn, S("__qualname__"), Py_None));
  int has_qualname = PyObject_IsTrue(qualname.get());
  if (has_qualname < 0) return {};
  if (has_qualname) return call(clip, qualname);
  RG_LET(bare, attr_or(fn, S("__name__"), S("unknown")));
  return call(clip, bare);
}

// _decorate(fn): a class gets a reporting __init__ and is returned itself; any other
// callable is returned wrapped.
PyObject* decorate(PyObject* name, PyObject* const* args) {
  PyObject* fn = args[0];
  RG_LET(label, label_for(name, fn));
  RG_LET(inspect, G("inspect"));
  RG_LET(isclass, call_method(inspect, S("isclass"), fn));
  int is_class = PyObject_IsTrue(isclass.get());
  if (is_class < 0) return nullptr;
  if (!is_class) return make_guarded(fn, label.get(), false).release();
  RG_LET(original_init, attr(fn, S("__init__")));
  RG_LET(init, make_guarded(original_init.get(), label.get(), true));
  if (PyObject_SetAttr(fn, S("__init__"), init.get()) < 0) return nullptr;
  return Py_NewRef(fn);
}

// runtimeguard(name=None)
PyObject* runtimeguard(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name"};
  static const Signature sig{"runtimeguard", names, 1, 1};
  PyObject* name;
  if (bind_arguments(sig, args, nargs, kwnames, &name) < 0) return nullptr;
  return make_closure("runtimeguard.<locals>._decorate", 1, decorate, name ? name : Py_None)
      .release();
}
RG_EXPORT(ModuleFunction, "runtimeguard", runtimeguard, METH_FASTCALL | METH_KEYWORDS,
          "runtimeguard(name=None)\n--\n\n"
          "Decorator factory: send an open report on every call or instantiation.\n"
          "\n"
          "``name`` is the feature label; it defaults to the wrapped callable's qualified name,\n"
          "or the class name. Use ``@runtimeguard()`` on a function and\n"
          "``@runtimeguard(\"Segmentation\")`` on a class: each call of the function, or each\n"
          "instantiation of the class, reports first, then runs the body unchanged.");

}  // namespace

}  // namespace rg
