// The machinery shared by the module's function-like types (closures, the decorator's guard,
// method owners): one type per process made from its PyType_Spec, the collector's view of
// the PyObject* fields, and what makes an object read and bind like a Python function.
#pragma once

#include "capi/py.hpp"

#include <structmember.h>  // after Python.h

#include <cstring>

namespace rg {

// The type `Blueprint` describes, made on first use and kept: such types hold no module state (each
// instance holds its module), so every module object shares them. Null with the error set.
template <PyType_Spec* Blueprint>
PyTypeObject* process_type() {
  static PyObject* type = nullptr;
  if (!type) type = type_from_spec(Blueprint);
  return reinterpret_cast<PyTypeObject*>(type);
}

// A new untracked instance of `Blueprint`'s type with every field after the header zeroed; null
// with the error set. Set its fields, then hand it out with tracked().
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

// tp_traverse, tp_clear and tp_dealloc of a type whose owned references are `Fields`.
// Weak references, when the type takes them, are cleared before the fields go.
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

// The three slots of a GcFields type, for a PyType_Slot array.
#define RG_GC_SLOTS(Gc)                                        \
  {Py_tp_traverse, reinterpret_cast<void*>(Gc::traverse)},     \
      {Py_tp_clear, reinterpret_cast<void*>(Gc::clear)},       \
      {Py_tp_dealloc, reinterpret_cast<void*>(Gc::dealloc)}

// Called like a function (vectorcall, reached from the call slot too) and bound like one.
#define RG_FUNCTION_SLOTS(Gc)                                              \
  {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},                \
      {Py_tp_descr_get, reinterpret_cast<void*>(::rg::bind_like_function)}, \
      RG_GC_SLOTS(Gc)

// tp_descr_get of a function: through an instance, a bound method; through the class, itself.
PyObject* bind_like_function(PyObject* self, PyObject* obj, PyObject* type);

// `<function qualname at 0x...>`; `qualname` is a str, or null for "".
PyObject* function_repr(PyObject* self, PyObject* qualname);

// The instance `__dict__` (the type's `__dictoffset__` member names the field). Not constexpr:
// on Windows the two functions are imported from the interpreter's DLL, and an imported
// function's address is known only once the DLL is loaded.
inline const PyGetSetDef dict_getset{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict,
                                     nullptr, nullptr};

// A read-only Py_ssize_t member: `__vectorcalloffset__`, `__dictoffset__`, `__weaklistoffset__`.
constexpr PyMemberDef offset_member(const char* name, Py_ssize_t offset) {
  return {name, T_PYSSIZET, offset, READONLY, nullptr};
}

// A function-like type's own members: its `vectorcall` and `dict` fields.
#define RG_FUNCTION_MEMBERS(T)                                          \
  ::rg::offset_member("__vectorcalloffset__", offsetof(T, vectorcall)), \
      ::rg::offset_member("__dictoffset__", offsetof(T, dict))

inline constexpr unsigned int kFunctionFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                               Py_TPFLAGS_HAVE_VECTORCALL |
                                               Py_TPFLAGS_DISALLOW_INSTANTIATION;

}  // namespace rg
