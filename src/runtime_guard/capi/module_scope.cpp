#include "capi/module_scope.hpp"

namespace rg {

namespace {

// Trivially destructible: safe on a daemon thread that the interpreter ends at exit.
thread_local PyObject* t_current = nullptr;
thread_local PyObject* t_owner = nullptr;

}  // namespace

ModuleScope::ModuleScope(PyObject* module, PyObject* owner)
    : previous_(t_current), previous_owner_(t_owner) {
  t_current = module;
  t_owner = owner;
}
ModuleScope::~ModuleScope() {
  t_current = previous_;
  t_owner = previous_owner_;
}

PyObject* running_owner() { return t_owner; }

PyObject* module() {
  if (!t_current) PyErr_SetString(PyExc_SystemError, "runtime_guard: no module scope is open");
  return t_current;
}

Ref global(PyObject* name) {
  PyObject* m = module();
  if (!m) return {};
  PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(m), name);
  if (!v) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
  }
  return borrow(v);
}

int set_global(PyObject* name, PyObject* value) {
  PyObject* m = module();
  return m ? PyDict_SetItem(PyModule_GetDict(m), name, value) : -1;
}

int global_truth(PyObject* name) {
  Ref v = global(name);
  return v ? PyObject_IsTrue(v.get()) : -1;
}

namespace {

Ref log_handling(PyObject* level, const char* message, PyObject* exc, bool exc_info) {
  RG_LET(log, global(S("log")));
  RG_LET(fn, attr(log, level));
  RG_LET(msg, str(message));
  Handling handling(exc);
  if (!exc_info) return call(fn, msg);
  return call_kw(fn, {msg.get()}, {{S("exc_info"), Py_True}});
}

}  // namespace

Ref log_exc_at(PyObject* level, const char* message, PyObject* exc) {
  return log_handling(level, message, exc, true);
}

Ref log_exception(const char* message, PyObject* exc) {
  return log_handling(S("exception"), message, exc, false);
}

// CPython 3.11 marks a module whose body has run by giving it a state block (even of size 0)
// and then makes importlib.reload a no-op. Python's reload runs the body again, so the marker
// is taken away after each run. Its field is found by layout and used only when the fields
// around it hold what the public getters return.
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

}  // namespace rg
