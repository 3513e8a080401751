// Each subsystem registers its functions and methods here; module init binds them in the
// module's (or the class's) definition order, whatever order the files were linked in.
#pragma once

#include "py.hpp"

namespace rg {

enum class Slot { ModuleFunction, Method, StaticMethod };

struct Export {
  PyMethodDef* def;
  Slot slot;
};

void register_export(const Export* e);

struct Registrar {
  explicit Registrar(const Export* e) { register_export(e); }
};

// Bound on the class after it is built (for example the component's constructor helpers).
int build_exports(PyObject* module_dict, PyObject* class_namespace, Slot kind);

}  // namespace rg

// RG_EXPORT(ModuleFunction, "_utcnow_iso", utcnow_iso, METH_NOARGS, doc)
#define RG_EXPORT(slot, pyname, cfunc, flags, doc)                                           \
  static PyMethodDef cfunc##_def = {pyname, (PyCFunction)(void (*)(void))cfunc, flags, doc}; \
  static const ::rg::Export cfunc##_export{&cfunc##_def, ::rg::Slot::slot};                  \
  static ::rg::Registrar cfunc##_registrar(&cfunc##_export)
