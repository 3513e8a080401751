#include "capi/native.hpp"

#include "capi/module_scope.hpp"
#include "capi/params.hpp"

#include <structmember.h>  // after Python.h

namespace rg {

namespace {

struct NativeFunction {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  ClosureBody body;        // a closure's; null for one made by make_native
  Signature signature;     // its name is the qualified name
  const char* parameters;  // a closure's one parameter name, which signature.names points to
  PyObject* module;
  PyObject* state;
  PyObject* dict;
};

using NativeGc = GcFields<NativeFunction, &NativeFunction::module, &NativeFunction::state,
                          &NativeFunction::dict>;

NativeFunction* as_native(PyObject* self) { return NativeGc::of(self); }

PyObject* closure_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  NativeFunction* f = as_native(self);
  PyObject* bound[1] = {nullptr};
  const Py_ssize_t nargs = static_cast<Py_ssize_t>(nargsf);
  if (bind_arguments(f->signature, nullptr, args, nargs, kwnames, bound) < 0) return nullptr;
  if (!f->module || !f->state) {  // cleared by the collector, still reached from its cycle
    PyErr_SetString(PyExc_ReferenceError, "closure was cleared by garbage collection");
    return nullptr;
  }
  ModuleScope scope(f->module);
  return f->body(f->state, bound);
}

// Bound like a function: through an instance, a method; through the class, itself.
PyObject* bind(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* qualname(PyObject* self, void*) {
  return PyUnicode_FromString(as_native(self)->signature.name);
}

PyObject* name(PyObject* self, void*) {
  const char* q = as_native(self)->signature.name;
  const char* dot = std::strrchr(q, '.');
  return PyUnicode_FromString(dot ? dot + 1 : q);
}

PyObject* repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %s at %p>", as_native(self)->signature.name, self);
}

// What inspect.signature reads for a callable it cannot introspect otherwise.
PyObject* text_signature(PyObject* self, void*) {
  const char* p = as_native(self)->parameters;
  return PyUnicode_FromFormat("(%s)", p ? p : "");
}

PyGetSetDef getset[] = {
    {"__name__", name, nullptr, nullptr, nullptr},
    {"__qualname__", qualname, nullptr, nullptr, nullptr},
    {"__text_signature__", text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {},
};

PyType_Slot slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(bind)},
    RG_GC_SLOTS(NativeGc),
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec spec = {"orlune.core.runtime_guard.NativeFunction", sizeof(NativeFunction), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                        Py_TPFLAGS_DISALLOW_INSTANTIATION,
                    slots};

}  // namespace

Ref make_native(const char* qualname, const char* parameters, vectorcallfunc entry,
                PyObject* state) {
  NativeFunction* f = new_instance<NativeFunction, &spec>();
  if (!f) return {};
  f->vectorcall = entry;
  f->parameters = parameters;
  f->signature = Signature{qualname, &f->parameters, 0, 0, 0u};
  f->module = Py_NewRef(module());
  f->state = Py_NewRef(state);
  return tracked(f);
}

Ref make_closure(const char* qualname, const char* parameter, ClosureBody body, PyObject* state) {
  RG_LET(fn, make_native(qualname, parameter, closure_call, state));
  NativeFunction* f = as_native(fn.get());
  f->body = body;
  f->signature.positional = f->signature.count = parameter ? 1 : 0;
  f->signature.required = parameter ? 1u : 0u;
  return fn;
}

PyObject* native_state(PyObject* fn, vectorcallfunc entry) {
  PyTypeObject* type = process_type<&spec>();
  if (!type || !Py_IS_TYPE(fn, type) || as_native(fn)->vectorcall != entry) return nullptr;
  return as_native(fn)->module ? as_native(fn)->state : nullptr;
}

PyObject* native_module(PyObject* fn) { return as_native(fn)->module; }

void chain_pending(PyObject* type, PyObject* value, PyObject* tb) {
  PyObject *type2, *value2, *tb2;
  PyErr_Fetch(&type2, &value2, &tb2);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Py_XDECREF(tb);
  Py_DECREF(type);
  PyErr_NormalizeException(&type2, &value2, &tb2);
  PyException_SetContext(value2, value);  // steals value
  PyErr_Restore(type2, value2, tb2);
}

}  // namespace rg
