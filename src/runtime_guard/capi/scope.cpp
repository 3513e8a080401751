#include "capi/scope.hpp"

namespace rg {
// Trivially destructible: safe on a daemon thread that the interpreter ends at exit.
static thread_local PyObject* t_current = nullptr;
static thread_local PyObject* t_owner = nullptr;
static thread_local bool t_in_body = false;  // the module body's imports pass globals as locals

ModuleScope::ModuleScope(PyObject* module, PyObject* owner)
    : previous(t_current), previous_owner(t_owner) {
  t_current = module;
  t_owner = owner;
}
ModuleScope::~ModuleScope() {
  t_current = previous;
  t_owner = previous_owner;
}
PyObject* running_owner() { return t_owner; }
PyObject* module() {
  if (!t_current) PyErr_SetString(PyExc_SystemError, "runtime_guard: no module scope is open");
  return t_current;
}
Ref global(PyObject* name) {
  PyObject* m = module();
  PyObject* v = m ? PyDict_GetItemWithError(PyModule_GetDict(m), name) : nullptr;
  if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return borrow(v);
}
int set_global(PyObject* name, PyObject* value) {
  PyObject* m = module();
  return m ? PyDict_SetItem(PyModule_GetDict(m), name, value) : -1;
}
Answer global_flag(PyObject* name) {
  RG_LET(v, global(name));
  return answer(PyObject_IsTrue(v.get()));
}
Ref log_exc_at(PyObject* level, const char* message, PyObject* exc, bool exc_info) {
  RG_LET(log, global(S("log")));
  RG_LET(fn, attr(log, level));
  RG_LET(msg, str(message));
  Handling handling(exc);
  return exc_info ? call_kw(fn, {msg.get()}, {{S("exc_info"), Py_True}}) : call(fn, msg);
}
int log_ordinary(const char* message) {
  RG_LET(exc, catch_ordinary());
  return log_exc_at(S("debug"), message, exc.get()) ? 0 : -1;
}
// CPython 3.11 marks a module whose body has run by giving it a state block (even of size 0)
// and then makes importlib.reload a no-op, so the marker is taken away after each run. Its
// field is found by layout, and used only when the fields around it hold what the getters say.
void allow_reload(PyObject* m) {
  struct ModuleLayout {
    PyObject_HEAD
    PyObject* dict;
    PyModuleDef* def;
    void* state;
  };
  void* state = PyModule_GetState(m);
  auto* layout = reinterpret_cast<ModuleLayout*>(m);
  if (!state || !PyModule_CheckExact(m) || layout->dict != PyModule_GetDict(m) ||
      layout->def != PyModule_GetDef(m) || layout->state != state)
    return;
  layout->state = nullptr;
  PyMem_Free(state);
}
BodyScope::BodyScope() { t_in_body = true; }
BodyScope::~BodyScope() { t_in_body = false; }
namespace {
// __import__(name, globals(), locals(), fromlist, 0), the `__import__` of the running module's
// builtins looked up as the interpreter does.
Ref call_import(const char* dotted, PyObject* fromlist) {
  PyObject* m = module();
  if (!m) return {};
  PyObject* globals = PyModule_GetDict(m);
  PyObject* builtins = PyDict_GetItemWithError(globals, S("__builtins__"));
  if (!builtins && PyErr_Occurred()) return {};
  if (!builtins) builtins = PyEval_GetBuiltins();
  if (PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
  Ref fn = PyDict_Check(builtins) ? borrow(PyDict_GetItemWithError(builtins, S("__import__")))
                                  : steal(PyObject_GetItem(builtins, S("__import__")));
  if (!fn && (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_KeyError)))
    PyErr_SetString(PyExc_ImportError, "__import__ not found");
  RG_CHECK(fn);
  RG_LET(name, str(dotted));
  return call(fn, name, globals, t_in_body ? globals : Py_None, fromlist, integer(0));
}
// The IMPORT_FROM step: module.name, or the submodule already in sys.modules under
// "<module.__name__>.name" (a substitute there need not be an attribute of its package);
// ImportError as the interpreter words it otherwise.
Ref attribute_or_submodule(PyObject* m, PyObject* name) {
  Ref v = attr(m, name);
  if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
  PyErr_Clear();
  const Str pkg = Str::probe(attr(m, S("__name__")).get());
  PyErr_Clear();
  if (pkg) {
    RG_LET(full, steal(PyUnicode_FromFormat("%U.%U", pkg.get(), name)));
    if (PyObject* sub = PyImport_GetModule(full.get())) return steal(sub);
    if (PyErr_Occurred()) return {};
  }
  RG_LET(shown, pkg ? borrow(pkg.get()) : str("<unknown module name>"));
  Ref path = steal(PyModule_Check(m) ? PyModule_GetFilenameObject(m) : nullptr);
  if (!Str::probe(path.get())) path = nullptr;
  PyErr_Clear();
  const char* format = path ? "cannot import name %R from %R (%S)"
                            : "cannot import name %R from %R (unknown location)";
  Ref message = steal(PyUnicode_FromFormat(format, name, shown.get(), path.get()));
  if (message) PyErr_SetImportError(message.get(), shown.get(), path.get());
  return {};
}
}  // namespace
Ref import(const char* dotted) {
  RG_LET(top, call_import(dotted, Py_None));
  RG_LET(path, str(dotted));
  List parts = List::fresh(PyUnicode_Split(path.get(), S("."), -1));
  RG_CHECK(parts);
  Ref value = std::move(top);
  // As `import a.b.c as v` walks it: each step may find a submodule through sys.modules.
  for (Py_ssize_t i = 1; i < parts.size() && value; ++i)
    value = attribute_or_submodule(value.get(), parts.at(i));
  return value;
}
int import_from(const char* module_name, PyObject* const* names, size_t count, Ref* out) {
  if (any_null(names, count)) return null_argument(), -1;
  Tuple fromlist = Tuple::fresh(PyTuple_New(Py_ssize_t(count)));
  RG_CHECK(fromlist);
  for (size_t i = 0; i < count; ++i) fromlist.set(Py_ssize_t(i), borrow(names[i]));
  RG_LET(m, call_import(module_name, fromlist.get()));
  for (size_t i = 0; i < count; ++i)
    RG_CHECK(out[i] = attribute_or_submodule(m.get(), names[i]));
  return 0;
}
Ref import_from(const char* module_name, PyObject* name) {
  Ref value;
  return import_from(module_name, &name, 1, &value) < 0 ? Ref() : std::move(value);
}
}  // namespace rg
