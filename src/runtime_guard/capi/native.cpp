#include "capi/native.hpp"

#include <structmember.h>  // after Python.h

#include "capi/declare.hpp"
#include "capi/scope.hpp"

namespace rg {
namespace {
struct NativeFunction {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  ClosureBody body;        // a closure's; null for one made by make_native
  Signature signature;     // its name is the qualified name
  const char* name;        // the qualified name's last part
  const char* parameters;  // a closure's one parameter is signature.names[0]
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
  RG_CHECK_OK(bind_arguments(f->signature, nullptr, args, nargsf, kwnames, bound));
  if (!f->module || !f->state) {  // cleared by the collector, still reached from its cycle
    PyErr_SetString(PyExc_ReferenceError, "closure was cleared by garbage collection");
    return nullptr;
  }
  ModuleScope scope(f->module);
  return f->body(f->state, bound);
}
// Bound like a function: through an instance, a method; through the class, itself.
PyObject* bind(PyObject* self, PyObject* obj, PyObject*) {
  return !obj || obj == Py_None ? Py_NewRef(self) : PyMethod_New(self, obj);
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
    {"__text_signature__", text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {},
};
constexpr Py_ssize_t kQualnameAt = offsetof(NativeFunction, signature) + offsetof(Signature, name);
PyMemberDef members[] = {
    {"__name__", T_STRING, offsetof(NativeFunction, name), READONLY, nullptr},
    {"__qualname__", T_STRING, kQualnameAt, READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {},
};
PyType_Slot slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(bind)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    RG_GC_SLOTS(NativeGc),
    {0, nullptr},
};
PyType_Spec native_type = {"orlune.core.runtime_guard.NativeFunction", sizeof(NativeFunction), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                        Py_TPFLAGS_DISALLOW_INSTANTIATION,
                    slots};
}  // namespace
Ref make_native(const char* qualname, const char* parameters, vectorcallfunc entry,
                PyObject* state) {
  NativeFunction* f = new_instance<NativeFunction, &native_type>();
  if (!f) return {};
  f->vectorcall = entry;
  f->parameters = parameters;
  f->signature = Signature{qualname, &f->parameters, 0, 0, 0u};
  const char* dot = std::strrchr(qualname, '.');
  f->name = dot ? dot + 1 : qualname;
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
PyObject* native_state(PyObject* fn, vectorcallfunc entry, PyObject** module) {
  PyTypeObject* type = process_type<&native_type>();
  if (!type || !Py_IS_TYPE(fn, type) || as_native(fn)->vectorcall != entry) return nullptr;
  if (module) *module = as_native(fn)->module;
  return as_native(fn)->module ? as_native(fn)->state : nullptr;
}
void raise_after_cleanup(PyObject* pending, bool cleanup_failed) {
  if (!cleanup_failed) return PyErr_Restore(Py_NewRef(Py_TYPE(pending)), pending,
                                            PyException_GetTraceback(pending));
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyException_SetContext(value, pending);  // steals pending
  PyErr_Restore(type, value, tb);
}
}  // namespace rg
