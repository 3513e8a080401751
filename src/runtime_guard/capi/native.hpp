// Objects the module makes natively: one type per process from its PyType_Spec, the
// collector's view of their PyObject* fields, and the one native function type, which serves
// every callable the module hands to Python code (thread targets, hooks, the decorator's guard).
#pragma once

#include "capi/py.hpp"

#include <cstring>

namespace rg {

// The type `Blueprint` describes, made on first use and kept: such types hold no module state
// (each instance holds its module), so every module object shares them. Null with the error set.
template <PyType_Spec* Blueprint>
PyTypeObject* process_type() {
  static PyObject* type = nullptr;
  if (!type) type = type_from_spec(Blueprint);
  return reinterpret_cast<PyTypeObject*>(type);
}

// A new untracked instance, every field after the header zeroed; null with the error set. Set
// its fields, then hand it out with tracked().
template <class T, PyType_Spec* Blueprint>
T* new_instance() {
  PyTypeObject* type = process_type<Blueprint>();
  T* o = type ? PyObject_GC_New(T, type) : nullptr;
  if (o) std::memset(reinterpret_cast<char*>(o) + sizeof(PyObject), 0, sizeof(T) - sizeof(PyObject));
  return o;
}

template <class T>
Ref tracked(T* o) {
  PyObject_GC_Track(o);
  return steal(reinterpret_cast<PyObject*>(o));
}

inline void clear_field(PyObject*& field) { Py_CLEAR(field); }

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
    (clear_field(of(self)->*Fields), ...);
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

// ---- the native function ------------------------------------------------------------------
// Like a nested `def`: binds as a method when stored on a class, takes attributes, has a
// signature. It holds the module it was made for, and the one object it closes over.

// A closure's body: the closed-over state and the call's arguments as bound to its parameters
// (none, or one that may be passed by position or by keyword). It runs in its module's scope,
// so its late-bound lookups read that module's dict however late the call comes.
using ClosureBody = PyObject* (*)(PyObject* state, PyObject* const* args);

// `qualname` ("report_open.<locals>._worker") and `parameter` (null for none) are literals
// kept for the closure's life.
Ref make_closure(const char* qualname, const char* parameter, ClosureBody body, PyObject* state);

// A native function whose `entry` takes its calls as they come (no binding, no scope opened);
// `parameters` is its signature's text between the parentheses.
Ref make_native(const char* qualname, const char* parameters, vectorcallfunc entry,
                PyObject* state);

// For a native function made with `entry`: its state and module, borrowed. Null, with no
// error set, for any other object or one the collector has cleared.
PyObject* native_state(PyObject* fn, vectorcallfunc entry);
PyObject* native_module(PyObject* fn);

// Runs `cleanup` as a `finally` block would: the pending error set aside and put back, unless
// the cleanup fails (returns < 0); its error then replaces it, the set-aside one as __context__.
void chain_pending(PyObject* type, PyObject* value, PyObject* tb);
template <class Cleanup>
void finally_keep(Cleanup cleanup) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (cleanup() < 0 && type) return chain_pending(type, value, tb);
  if (type) PyErr_Restore(type, value, tb);
}

}  // namespace rg
