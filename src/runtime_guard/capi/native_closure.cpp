#include "capi/native_closure.hpp"

#include "capi/function_like.hpp"
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

using ClosureGc = GcFields<Closure, &Closure::module, &Closure::state, &Closure::dict>;

Closure* as_closure(PyObject* self) { return ClosureGc::of(self); }

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

PyObject* closure_qualname(PyObject* self, void*) {
  return PyUnicode_FromString(as_closure(self)->qualname);
}

PyObject* closure_name(PyObject* self, void*) {
  const char* q = as_closure(self)->qualname;
  const char* dot = std::strrchr(q, '.');
  return PyUnicode_FromString(dot ? dot + 1 : q);
}

PyObject* closure_repr(PyObject* self) {
  RG_LET(qualname, steal(closure_qualname(self, nullptr)));
  return function_repr(self, qualname.get());
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
    dict_getset,
    {},
};

PyMemberDef closure_members[] = {RG_FUNCTION_MEMBERS(Closure), {}};

PyType_Slot closure_slots[] = {
    RG_FUNCTION_SLOTS(ClosureGc),
    {Py_tp_repr, reinterpret_cast<void*>(closure_repr)},
    {Py_tp_getset, closure_getset},
    {Py_tp_members, closure_members},
    {0, nullptr},
};

PyType_Spec closure_spec = {"orlune.core.runtime_guard.NativeClosure", sizeof(Closure), 0, kFunctionFlags,
                            closure_slots};

}  // namespace

Ref make_closure(const char* qualname, const char* parameter, ClosureBody body, PyObject* state) {
  Closure* c = new_instance<Closure, &closure_spec>();
  if (!c) return {};
  c->vectorcall = closure_call;
  c->body = body;
  c->parameter = parameter;
  const Py_ssize_t arity = parameter ? 1 : 0;
  c->signature = Signature{qualname, &c->parameter, arity, arity, parameter ? 1u : 0u};
  c->qualname = qualname;
  c->module = Py_NewRef(module());
  c->state = Py_NewRef(state);
  return tracked(c);
}

}  // namespace rg
