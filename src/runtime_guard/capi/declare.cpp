#include "capi/declare.hpp"

#include <cstring>

#include "capi/method_owner.hpp"

namespace rg {

namespace declare {

namespace {

// The declarations of each body by ordinal; constant-initialized, so filled before any import.
struct Table {
  const Def* slot[kMaxOrdinal + 1];
  const Def* clash;  // a second declaration for the slot at `clash_at`
  int clash_at, last;
} g_tables[2];

Table& table(Body body) { return g_tables[static_cast<int>(body)]; }

int check(Body body) {
  const Table& t = table(body);
  const char* name = body == Body::Module ? "module" : "class";
  int hole = 0;
  for (int n = t.last; n >= 1; --n)
    if (!t.slot[n]) hole = n;
  if (t.clash)
    PyErr_Format(PyExc_SystemError, "runtime_guard: %s and %s are both %s definition %d",
                 t.slot[t.clash_at]->method.ml_name, t.clash->method.ml_name, name, t.clash_at);
  else if (hole)
    PyErr_Format(PyExc_SystemError, "runtime_guard: no declaration for %s definition %d", name,
                 hole);
  return t.clash || hole ? -1 : 0;
}

// A parameter's default, borrowed, made from its text when first needed; null with the error
// set when it cannot be made.
PyObject* default_value(const char* text, PyObject*& made) {
  for (auto [word, value] : {std::pair{"None", Py_None}, std::pair{"True", Py_True},
                             std::pair{"False", Py_False}}) {
    if (std::strcmp(text, word) == 0) return value;
  }
  if (made) return made;
  if (!std::strchr(text, '.')) return made = PyLong_FromString(text, nullptr, 10);
  const double number = PyOS_string_to_double(text, nullptr, nullptr);
  return made = number == -1.0 && PyErr_Occurred() ? nullptr : PyFloat_FromDouble(number);
}

}  // namespace

bool enter(const Def& def, int ordinal) {
  Table& t = table(def.kind == Kind::Function ? Body::Module : Body::Class);
  if (t.slot[ordinal]) {
    t.clash = &def;
    t.clash_at = ordinal;
  } else {
    t.slot[ordinal] = &def;
  }
  if (ordinal > t.last) t.last = ordinal;
  return true;
}

PyObject* bind_call(const Parsed& parsed, const Signature& sig, PyObject** made, PyObject* owner,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  // The common call passes what it passes by position: no keyword lookup, no binder.
  bool bound = (!kwnames || PyTuple_Size(kwnames) == 0) && nargs <= sig.positional;
  for (Py_ssize_t i = 0; bound && i < sig.count; ++i) {
    out[i] = i < nargs ? args[i] : nullptr;
    bound = out[i] || !(sig.required >> i & 1u);
  }
  // Otherwise, and for a required parameter left out, the binder (with its messages).
  if (!bound && bind_arguments(sig, owner, args, nargs, kwnames, out) < 0) return nullptr;
  for (Py_ssize_t i = 0; i < sig.count; ++i)
    if (!out[i] && !(out[i] = default_value(parsed.text + parsed.fallback[i], made[i])))
      return nullptr;
  return owner_module(owner);
}

}  // namespace declare

int bind_declared(declare::Body body, PyObject* dict, PyObject* owner, const char* module_name,
                  int first, int last) {
  RG_CHECK_OK(declare::check(body));
  RG_LET(modname, str(module_name));
  for (int n = first; n <= (last ? last : declare::table(body).last); ++n) {
    const Def& def = *declare::table(body).slot[n];
    PyMethodDef* method = const_cast<PyMethodDef*>(&def.method);
    RG_LET(fn, steal(PyCFunction_NewEx(method, owner, modname.get())));
    Ref member = def.kind == Kind::Method         ? steal(PyInstanceMethod_New(fn.get()))
                 : def.kind == Kind::StaticMethod ? steal(PyStaticMethod_New(fn.get()))
                                                  : std::move(fn);
    RG_CHECK(member);
    RG_CHECK_OK(PyDict_SetItemString(dict, def.method.ml_name, member.get()));
  }
  return 0;
}

}  // namespace rg
