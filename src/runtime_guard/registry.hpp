// Each subsystem registers its functions and methods here; module init binds them in the
// module's (or the class's) definition order, whatever order the files were linked in.
#pragma once

#include "method_owner.hpp"
#include "module.hpp"
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

// The C function Python calls: it opens the scope of the module its function object belongs
// to (the function's __self__ is that module, or the method owner of its class), then runs
// `F` with the same arguments. One per exported function, whatever its calling convention.
template <class Sig, Sig F>
struct Scoped;
template <class... A, PyObject* (*F)(PyObject*, A...)>
struct Scoped<PyObject* (*)(PyObject*, A...), F> {
  static PyObject* entry(PyObject* owner, A... args) {
    PyObject* m = owner_module(owner);
    if (!m) return nullptr;
    ModuleScope scope(m);
    return F(owner, args...);
  }
};

}  // namespace rg

// RG_EXPORT(ModuleFunction, "_utcnow_iso", utcnow_iso, METH_NOARGS, doc)
// `doc` starts with the text signature ("name(params)\n--\n\n"), as inspect reads it.
#define RG_EXPORT(slot, pyname, cfunc, flags, doc)                                               \
  static PyMethodDef cfunc##_def = {                                                             \
      pyname,                                                                                    \
      reinterpret_cast<PyCFunction>(                                                             \
          reinterpret_cast<void (*)(void)>(&::rg::Scoped<decltype(&cfunc), &cfunc>::entry)),     \
      flags, doc};                                                                               \
  static const ::rg::Export cfunc##_export{&cfunc##_def, ::rg::Slot::slot};                  \
  static ::rg::Registrar cfunc##_registrar(&cfunc##_export)
