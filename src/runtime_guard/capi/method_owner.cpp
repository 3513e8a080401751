#include "capi/method_owner.hpp"

#include "capi/native.hpp"
#include "capi/scope.hpp"

namespace rg {

namespace {

struct MethodOwner {
  PyObject_HEAD
  PyObject* module;
  PyObject* cls;
};

using OwnerGc = GcFields<MethodOwner, &MethodOwner::module, &MethodOwner::cls>;

PyType_Slot owner_slots[] = {RG_GC_SLOTS(OwnerGc), {0, nullptr}};

// The qualified name is the part after the last dot: "RuntimeGuarder".
PyType_Spec owner_spec = {
    "orlune.core.runtime_guard.RuntimeGuarder", sizeof(MethodOwner), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, owner_slots};

// The owner `o` is, or null (no error set).
MethodOwner* as_owner(PyObject* o) {
  PyTypeObject* type = process_type<&owner_spec>();
  return type && o && Py_IS_TYPE(o, type) ? OwnerGc::of(o) : nullptr;
}

PyObject* missing(const char* what) {
  if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "runtime_guard: %s", what);
  return nullptr;
}

}  // namespace

Ref new_method_owner(PyObject* module) {
  MethodOwner* o = new_instance<MethodOwner, &owner_spec>();
  if (!o) return {};
  o->module = Py_NewRef(module);
  return tracked(o);
}

void set_owner_class(PyObject* owner, PyObject* cls) {
  Py_XSETREF(OwnerGc::of(owner)->cls, Py_NewRef(cls));
}

PyObject* owner_module(PyObject* owner) {
  if (owner && PyModule_Check(owner)) return owner;
  MethodOwner* o = as_owner(owner);
  return o ? o->module : missing("function without its module");
}

PyObject* defining_class() {
  MethodOwner* o = as_owner(running_owner());
  return o && o->cls ? o->cls : missing("method without its class");
}

}  // namespace rg
