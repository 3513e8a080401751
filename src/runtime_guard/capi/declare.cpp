#include "capi/declare.hpp"

#include <cstring>

#include "capi/native.hpp"

namespace rg {
namespace {
struct MethodOwner {
  PyObject_HEAD
  PyObject* module;
  PyObject* cls;
};
using OwnerGc = GcFields<MethodOwner, &MethodOwner::module, &MethodOwner::cls>;
PyType_Slot owner_slots[] = {RG_GC_SLOTS(OwnerGc), {0, nullptr}};
// The qualified name is the part after the last dot: "RuntimeGuarder".
PyType_Spec owner_spec = {
    "orlune.core.runtime_guard.RuntimeGuarder", sizeof(MethodOwner), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, owner_slots};
MethodOwner* as_owner(PyObject* o) {
  PyTypeObject* type = process_type<&owner_spec>();
  return type && o && Py_IS_TYPE(o, type) ? OwnerGc::of(o) : nullptr;
}
PyObject* missing(const char* what) {
  if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "runtime_guard: %s", what);
  return nullptr;
}
// The module a builtin's __self__ (the module itself, or a method owner) stands for, borrowed.
PyObject* owner_module(PyObject* owner) {
  if (owner && PyModule_Check(owner)) return owner;
  MethodOwner* o = as_owner(owner);
  return o ? o->module : missing("function without its module");
}

// The declarations of each body by ordinal; constant-initialized, so filled before any import.
// Clashes and holes are caught from the sources by the layout test; a hole is also checked here.
struct Table { const Def* slot[declare::kMaxOrdinal + 1]; int last; } g_tables[2];
Table& table(declare::Body body) { return g_tables[static_cast<int>(body)]; }
// A parameter's default, borrowed, made from its text when first needed.
PyObject* default_value(const char* text, PyObject*& made) {
  for (auto [word, value] : {std::pair{"None", Py_None}, std::pair{"True", Py_True},
                             std::pair{"False", Py_False}})
    if (std::strcmp(text, word) == 0) return value;
  if (made) return made;
  if (!std::strchr(text, '.')) return made = PyLong_FromString(text, nullptr, 10);
  const double number = PyOS_string_to_double(text, nullptr, nullptr);
  return made = number == -1.0 && PyErr_Occurred() ? nullptr : PyFloat_FromDouble(number);
}
}  // namespace

Ref new_method_owner(PyObject* module) {
  MethodOwner* o = new_instance<MethodOwner, &owner_spec>();
  if (!o) return {};
  o->module = Py_NewRef(module);
  return tracked(o);
}
void set_owner_class(PyObject* owner, PyObject* cls) {
  Py_XSETREF(OwnerGc::of(owner)->cls, Py_NewRef(cls));
}
PyObject* defining_class() {
  MethodOwner* o = as_owner(running_owner());
  return o && o->cls ? o->cls : missing("method without its class");
}

bool declare::enter(const Def& def, int ordinal) {
  Table& t = table(def.kind == Kind::Function ? Body::Module : Body::Class);
  t.slot[ordinal] = &def;
  if (ordinal > t.last) t.last = ordinal;
  return true;
}

PyObject* declare::bind_call(const Parsed& parsed, const Signature& sig, PyObject** made,
                             PyObject* owner, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames, PyObject** out) {
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

int bind_declared(declare::Body body, PyObject* dict, PyObject* owner, const char* module_name,
                  int first, int last) {
  RG_LET(modname, str(module_name));
  for (int n = first; n <= (last ? last : table(body).last); ++n) {
    if (!table(body).slot[n]) {
      PyErr_Format(PyExc_SystemError, "runtime_guard: no declaration for definition %d", n);
      return -1;
    }
    const Def& def = *table(body).slot[n];
    RG_LET(fn, steal(PyCFunction_NewEx(const_cast<PyMethodDef*>(&def.method), owner,
                                       modname.get())));
    Ref member = def.kind == Kind::Method         ? steal(PyInstanceMethod_New(fn.get()))
                 : def.kind == Kind::StaticMethod ? steal(PyStaticMethod_New(fn.get()))
                                                  : std::move(fn);
    RG_CHECK(member);
    RG_CHECK_OK(PyDict_SetItemString(dict, def.method.ml_name, member.get()));
  }
  return 0;
}
}  // namespace rg
