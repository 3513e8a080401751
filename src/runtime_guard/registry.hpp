// Each subsystem registers its functions and methods here; module init binds them in the
// module's (or the class's) definition order, whatever order the files were linked in.
#pragma once

#include "params.hpp"
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

// Binds a call that is not the plain one (no argument, or only `self` by position) as a `def`
// would: `self` may come by keyword, and a wrong call gets Python code's TypeError, with a
// method's qualified name ("RuntimeGuarder.cleanup() takes 1 positional argument but 2 were
// given"), not the builtin wording. -1 with TypeError set.
int bind_unusual_call(const char* name, Slot slot, Py_ssize_t count, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, PyObject** self);

inline bool plain_call(Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t count) {
  return PyVectorcall_NARGS(nargs) == count && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0);
}

template <int Flags, Slot K, Literal Name, class Sig, Sig F>
struct Entry {
  static constexpr int kFlags = Flags;
  static constexpr auto entry = &Scoped<Sig, F>::entry;
};

// METH_NOARGS and METH_O exports are called through the fast convention and bind the call
// themselves. Count 0 calls F(owner, nullptr) as METH_NOARGS would; 1 calls F(owner, self) as
// METH_O would.
template <Py_ssize_t Count, Slot K, Literal Name, class Sig, Sig F>
struct Checked {
  static constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
  static PyObject* entry(PyObject* owner, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* self = nullptr;
    if (!plain_call(nargs, kwnames, Count)) {
      if (bind_unusual_call(Name.text, K, Count, args, nargs, kwnames, &self) < 0) return nullptr;
    } else if (Count) {
      self = args[0];
    }
    return Scoped<Sig, F>::entry(owner, self);
  }
};

template <Slot K, Literal Name, class Sig, Sig F>
struct Entry<METH_NOARGS, K, Name, Sig, F> : Checked<0, K, Name, Sig, F> {};

template <Slot K, Literal Name, class Sig, Sig F>
struct Entry<METH_O, K, Name, Sig, F> : Checked<1, K, Name, Sig, F> {
  static_assert(K == Slot::Method, "METH_O names its one parameter `self`: methods only");
};

}  // namespace rg

// RG_EXPORT(ModuleFunction, "_utcnow_iso", utcnow_iso, METH_NOARGS, doc)
// `doc` starts with the text signature ("name(params)\n--\n\n"), as inspect reads it.
#define RG_EXPORT(slot, pyname, cfunc, flags, doc)                                               \
  using cfunc##_entry = ::rg::Entry<(flags), ::rg::Slot::slot, ::rg::Literal(pyname),            \
                                    decltype(&cfunc), &cfunc>;                                   \
  static PyMethodDef cfunc##_def = {                                                             \
      pyname,                                                                                    \
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(cfunc##_entry::entry)),     \
      cfunc##_entry::kFlags, doc};                                                                \
  static const ::rg::Export cfunc##_export{&cfunc##_def, ::rg::Slot::slot};                  \
  static ::rg::Registrar cfunc##_registrar(&cfunc##_export)
