#include "capi/method_owner.hpp"

#include "capi/function_like.hpp"
#include "capi/module_scope.hpp"

namespace rg {

namespace {

struct MethodOwner {
  PyObject_HEAD
  PyObject* module;
  PyObject* cls;
};

using OwnerGc = GcFields<MethodOwner, &MethodOwner::module, &MethodOwner::cls>;

MethodOwner* as_owner(PyObject* o) { return OwnerGc::of(o); }

PyType_Slot owner_slots[] = {RG_GC_SLOTS(OwnerGc), {0, nullptr}};

// The qualified name is the part after the last dot: "RuntimeGuarder".
PyType_Spec owner_spec = {
    "orlune.core.runtime_guard.RuntimeGuarder", sizeof(MethodOwner), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, owner_slots};

PyTypeObject* owner_type() { return process_type<&owner_spec>(); }

}  // namespace

Ref new_method_owner(PyObject* module) {
  MethodOwner* o = new_instance<MethodOwner, &owner_spec>();
  if (!o) return {};
  o->module = Py_NewRef(module);
  return tracked(o);
}

int set_owner_class(PyObject* owner, PyObject* cls) {
  Py_XSETREF(as_owner(owner)->cls, Py_NewRef(cls));
  return 0;
}

PyObject* owner_module(PyObject* owner) {
  if (owner && PyModule_Check(owner)) return owner;
  PyTypeObject* type = owner_type();
  if (type && owner && Py_IS_TYPE(owner, type)) return as_owner(owner)->module;
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "runtime_guard: function without its module");
  return nullptr;
}

PyObject* defining_class() { return owner_class(running_owner()); }

PyObject* owner_class(PyObject* owner) {
  PyTypeObject* type = owner_type();
  if (type && owner && Py_IS_TYPE(owner, type) && as_owner(owner)->cls) return as_owner(owner)->cls;
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "runtime_guard: method without its class");
  return nullptr;
}

}  // namespace rg
