// Native objects: a type per process from its PyType_Spec, the collector's view of their fields,
// and the one native function type (thread targets, hooks, the decorator's guard).
#pragma once

#include <cstring>

#include "capi/guard.hpp"

namespace rg {
// Made on first use and kept: such types hold no module state (each instance holds its module),
// so every module object shares them. Null with the error set.
template <PyType_Spec* Blueprint>
PyTypeObject* process_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(Blueprint);
  if (!type && !PyErr_Occurred()) PyErr_NoMemory();  // 3.11: its copy of the name failed
  return reinterpret_cast<PyTypeObject*>(type);
}
// A new untracked instance, its fields zeroed; null with the error set. Set them, then tracked().
template <class T, PyType_Spec* Blueprint>
T* new_instance() {
  PyTypeObject* type = process_type<Blueprint>();
  T* o = type ? PyObject_GC_New(T, type) : nullptr;
  constexpr size_t kHeader = sizeof(PyObject);
  if (o) std::memset(reinterpret_cast<char*>(o) + kHeader, 0, sizeof(T) - kHeader);
  return o;
}
template <class T>
Ref tracked(T* o) {
  PyObject_GC_Track(o);
  return steal(reinterpret_cast<PyObject*>(o));
}
// tp_traverse, tp_clear and tp_dealloc of a type whose owned references are `Fields`; weak
// references, when the type takes them, are cleared before the fields go.
template <class T, PyObject* T::*... Fields>
struct GcFields {
  static T* of(PyObject* self) { return reinterpret_cast<T*>(self); }
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* field : {of(self)->*Fields...}) Py_VISIT(field);
    return 0;
  }
  static int clear(PyObject* self) {
    for (PyObject** field : {&(of(self)->*Fields)...}) Py_CLEAR(*field);
    return 0;
  }
  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (type->tp_weaklistoffset) PyObject_ClearWeakRefs(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
  }
};
#define RG_GC_SLOTS(Gc)                                    \
  {Py_tp_traverse, reinterpret_cast<void*>(Gc::traverse)}, \
      {Py_tp_clear, reinterpret_cast<void*>(Gc::clear)},   \
      {Py_tp_dealloc, reinterpret_cast<void*>(Gc::dealloc)}
// The native function: like a nested `def`, it binds as a method when stored on a class, takes
// attributes and has a signature; it holds its module and the one object it closes over.
// A closure's body gets that object and its bound arguments (none, or one). It runs in its
// module's scope, so however late the call comes (a light thread after a fresh import), its
// late-bound lookups read that module's dict.
using ClosureBody = PyObject* (*)(PyObject* state, PyObject* const* args);
// `qualname` ("report_open.<locals>._worker") and `parameter` (null for none): literals.
Ref make_closure(const char* qualname, const char* parameter, ClosureBody body, PyObject* state);
// A native function whose `entry` takes its calls as they come (no binding, no scope opened);
// `parameters` is its signature's text between the parentheses.
Ref make_native(const char* qualname, const char* parameters, vectorcallfunc entry,
                PyObject* state);
// For a native function made with `entry`: its state (and, into `module`, its module),
// borrowed. Null, with no error set, for any other object or one the collector has cleared.
PyObject* native_state(PyObject* fn, vectorcallfunc entry, PyObject** module = nullptr);
// Runs `cleanup` as a `finally` block would: the pending error set aside and raised again after
// it, unless the cleanup fails (returns < 0): its error then replaces it, with it as __context__.
void raise_after_cleanup(PyObject* pending, bool cleanup_failed);  // steals `pending`
template <class Cleanup>
void finally_keep(Cleanup cleanup) {
  Ref pending = catch_any();
  const bool cleanup_failed = cleanup() < 0;
  if (pending) raise_after_cleanup(pending.release(), cleanup_failed);
}
}  // namespace rg
