#include "capi/declare.hpp"

#include <cstring>

#include "capi/method_owner.hpp"

namespace rg {

namespace declare {

namespace {

Table g_tables[2];  // constant-initialized: filled by the declarations before any import

const char* body_name(Body body) { return body == Body::Module ? "module" : "class"; }

int check(Body body) {
  const Table& t = table(body);
  if (t.clash) {
    PyErr_Format(PyExc_SystemError, "runtime_guard: %s and %s are both %s definition %d",
                 t.slot[t.clash_at]->method.ml_name, t.clash->method.ml_name, body_name(body),
                 t.clash_at);
    return -1;
  }
  for (int n = 1; n <= t.last; ++n) {
    if (t.slot[n]) continue;
    PyErr_Format(PyExc_SystemError, "runtime_guard: no declaration for %s definition %d",
                 body_name(body), n);
    return -1;
  }
  return 0;
}

// The builtin a declaration is bound as, its __self__ `owner`, wrapped for a class body.
Ref make_member(const Def& def, PyObject* owner, PyObject* module_name) {
  RG_LET(fn, steal(PyCFunction_NewEx(const_cast<PyMethodDef*>(&def.method), owner, module_name)));
  if (def.kind == Kind::Method) return steal(PyInstanceMethod_New(fn.get()));
  if (def.kind == Kind::StaticMethod) return steal(PyStaticMethod_New(fn.get()));
  return fn;
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

Table& table(Body body) { return g_tables[static_cast<int>(body)]; }

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
    if (!out[i] && !(out[i] = default_value(parsed.text + parsed.fallback[i], made[i])))
      return nullptr;
  return owner_module(owner);
}

}  // namespace declare

int bind_declared(declare::Body body, PyObject* dict, PyObject* owner, const char* module_name,
                  int first, int last) {
  RG_CHECK_OK(declare::check(body));
  const declare::Table& t = declare::table(body);
  RG_LET(modname, str(module_name));
  for (int n = first; n <= (last ? last : t.last); ++n) {
    RG_LET(member, declare::make_member(*t.slot[n], owner, modname.get()));
    RG_CHECK_OK(PyDict_SetItemString(dict, t.slot[n]->method.ml_name, member.get()));
  }
  return 0;
}

}  // namespace rg
