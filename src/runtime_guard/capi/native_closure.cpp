#include "capi/native_closure.hpp"

#include <structmember.h>  // after Python.h

#include <cstring>

#include "capi/module_scope.hpp"
#include "capi/params.hpp"

namespace rg {

namespace {

struct Closure {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  ClosureBody body;
  Signature signature;
  const char* parameter;  // signature.names points here
  const char* qualname;
  PyObject* module;
  PyObject* state;
  PyObject* dict;
};

Closure* as_closure(PyObject* self) { return reinterpret_cast<Closure*>(self); }

PyObject* closure_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Closure* c = as_closure(self);
  PyObject* bound[1] = {nullptr};
  if (bind_arguments(c->signature, nullptr, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound) < 0)
    return nullptr;
  if (!c->module || !c->state) {  // cleared by the collector, still reached from its cycle
    PyErr_SetString(PyExc_ReferenceError, "closure was cleared by garbage collection");
    return nullptr;
  }
  ModuleScope scope(c->module);
  return c->body(c->state, bound);
}

int closure_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_closure(self)->module);
  Py_VISIT(as_closure(self)->state);
  Py_VISIT(as_closure(self)->dict);
  return 0;
}

int closure_clear(PyObject* self) {
  Py_CLEAR(as_closure(self)->module);
  Py_CLEAR(as_closure(self)->state);
  Py_CLEAR(as_closure(self)->dict);
  return 0;
}

void closure_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  closure_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* closure_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %s at %p>", as_closure(self)->qualname, self);
}

PyObject* closure_qualname(PyObject* self, void*) {
  return PyUnicode_FromString(as_closure(self)->qualname);
}

PyObject* closure_name(PyObject* self, void*) {
  const char* q = as_closure(self)->qualname;
  const char* dot = std::strrchr(q, '.');
  return PyUnicode_FromString(dot ? dot + 1 : q);
}

// What inspect.signature reads for a callable it cannot introspect otherwise.
PyObject* closure_text_signature(PyObject* self, void*) {
  const char* p = as_closure(self)->parameter;
  return PyUnicode_FromFormat("(%s)", p ? p : "");
}

PyGetSetDef closure_getset[] = {
    {"__name__", closure_name, nullptr, nullptr, nullptr},
    {"__qualname__", closure_qualname, nullptr, nullptr, nullptr},
    {"__text_signature__", closure_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef closure_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Closure, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Closure, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot closure_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(bind_like_function)},
    {Py_tp_traverse, reinterpret_cast<void*>(closure_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(closure_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(closure_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(closure_repr)},
    {Py_tp_getset, closure_getset},
    {Py_tp_members, closure_members},
    {0, nullptr},
};

PyType_Spec closure_spec = {
    "orlune.core.runtime_guard.NativeClosure", sizeof(Closure), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    closure_slots,
};

// One type for the process: it holds no module state, each instance holds its module.
PyTypeObject* closure_type() {
  static PyObject* type = nullptr;
  if (!type) type = type_from_spec(&closure_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyObject* bind_like_function(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

Ref make_closure(const char* qualname, const char* parameter, ClosureBody body, PyObject* state) {
  PyTypeObject* type = closure_type();
  if (!type) return {};
  Closure* c = PyObject_GC_New(Closure, type);
  if (!c) return {};
  c->vectorcall = closure_call;
  c->body = body;
  c->parameter = parameter;
  const Py_ssize_t arity = parameter ? 1 : 0;
  c->signature = Signature{qualname, &c->parameter, arity, arity, parameter ? 1u : 0u};
  c->qualname = qualname;
  c->module = Py_NewRef(module());
  c->state = Py_NewRef(state);
  c->dict = nullptr;
  PyObject_GC_Track(c);
  return steal(reinterpret_cast<PyObject*>(c));
}

}  // namespace rg
