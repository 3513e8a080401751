#include "capi/method_owner.hpp"

namespace rg {

namespace {

struct MethodOwner {
  PyObject_HEAD
  PyObject* module;
  PyObject* cls;
};

MethodOwner* as_owner(PyObject* o) { return reinterpret_cast<MethodOwner*>(o); }

int owner_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_owner(self)->module);
  Py_VISIT(as_owner(self)->cls);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int owner_clear(PyObject* self) {
  Py_CLEAR(as_owner(self)->module);
  Py_CLEAR(as_owner(self)->cls);
  return 0;
}

void owner_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  owner_clear(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

PyType_Slot owner_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(owner_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(owner_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc)},
    {0, nullptr},
};

// The qualified name is the part after the last dot: "RuntimeGuarder".
PyType_Spec owner_spec = {
    "orlune.core.runtime_guard.RuntimeGuarder", sizeof(MethodOwner), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, owner_slots};

// Made once and kept: owners of every module object share it (it holds no module state).
PyTypeObject* owner_type() {
  static PyObject* type = nullptr;
  if (!type) type = type_from_spec(&owner_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

Ref new_method_owner(PyObject* module) {
  PyTypeObject* type = owner_type();
  if (!type) return {};
  MethodOwner* o = PyObject_GC_New(MethodOwner, type);
  if (!o) return {};
  o->module = Py_NewRef(module);
  o->cls = nullptr;
  PyObject_GC_Track(o);
  return steal(reinterpret_cast<PyObject*>(o));
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

namespace {

// Trivially destructible: safe on a daemon thread that the interpreter ends at exit.
thread_local PyObject* t_running_owner = nullptr;

}  // namespace

RunningOwner::RunningOwner(PyObject* owner) : previous_(t_running_owner) { t_running_owner = owner; }
RunningOwner::~RunningOwner() { t_running_owner = previous_; }

PyObject* defining_class() { return owner_class(t_running_owner); }

PyObject* owner_class(PyObject* owner) {
  PyTypeObject* type = owner_type();
  if (type && owner && Py_IS_TYPE(owner, type) && as_owner(owner)->cls) return as_owner(owner)->cls;
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "runtime_guard: method without its class");
  return nullptr;
}

}  // namespace rg
