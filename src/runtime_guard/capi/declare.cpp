#include "capi/declare.hpp"

namespace rg {

Ref make_member(const Def& def, PyObject* owner, const char* module_name) {
  RG_LET(modname, str(module_name));
  RG_LET(fn, steal(PyCFunction_NewEx(const_cast<PyMethodDef*>(&def.method), owner, modname.get())));
  switch (def.kind) {
    case Kind::Function:
      return fn;
    case Kind::Method:
      return steal(PyInstanceMethod_New(fn.get()));
    case Kind::StaticMethod:
      return steal(PyStaticMethod_New(fn.get()));
  }
  return fn;
}

namespace declare {

namespace {

// A parameter's default, borrowed; null with MemoryError when it cannot be made.
PyObject* default_value(const Parameter& p, PyObject*& made) {
  switch (p.value) {
    case Default::None:
      return Py_None;
    case Default::True:
      return Py_True;
    case Default::False:
      return Py_False;
    case Default::Integer:
      if (!made) made = PyLong_FromLongLong(p.integer);
      return made;
    case Default::Float:
      if (!made) made = PyFloat_FromDouble(p.number);
      return made;
    case Default::Required:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "runtime_guard: a required parameter has no default");
  return nullptr;
}

}  // namespace

PyObject* bind_call(const Parsed& parsed, const Signature& sig, PyObject** made, PyObject* owner,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  bool bound = false;
  // The common call passes what it passes by position: no keyword lookup, no binder.
  if ((!kwnames || PyTuple_GET_SIZE(kwnames) == 0) && nargs <= sig.positional) {
    bound = true;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
      out[i] = i < nargs ? args[i] : nullptr;
      bound &= out[i] || !(sig.required >> i & 1u);
    }
  }
  // Otherwise, and for a required parameter left out, the binder (with its messages).
  if (!bound && bind_arguments(sig, owner, args, nargs, kwnames, out) < 0) return nullptr;
  for (Py_ssize_t i = 0; i < sig.count; ++i)
    if (!out[i] && !(out[i] = default_value(parsed.params[i], made[i]))) return nullptr;
  return owner_module(owner);
}

}  // namespace declare

}  // namespace rg
