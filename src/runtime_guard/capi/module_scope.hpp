// The module object and late-bound access to its globals.
//
// Every module-level name (constants, flags, functions, patterns, `log`, the imported standard
// modules) is read from the module's dict at the moment of use, so a host that replaces
// `rg._SESSIONS_FILE` or `rg._post_usage` is followed exactly as Python code would follow it.
#pragma once

#include "capi/py.hpp"

namespace rg {

// The module whose code is running on this thread, borrowed; null with SystemError set when
// no scope is open. Entry points that Python calls (module functions, methods, native
// callables the module hands out) open a ModuleScope for the module they were created by, so
// late-bound lookups read that module's dict. Each import makes a module of its own.
PyObject* module();

// `owner` is the __self__ of the builtin that runs, when one does (see running_owner).
class ModuleScope {
 public:
  explicit ModuleScope(PyObject* module, PyObject* owner = nullptr);
  ~ModuleScope();
  ModuleScope(const ModuleScope&) = delete;
  ModuleScope& operator=(const ModuleScope&) = delete;

 private:
  PyObject* previous_;
  PyObject* previous_owner_;
};

// The __self__ of the exported builtin running on this thread, borrowed; null outside one.
PyObject* running_owner();

// globals()[name], or NameError.
Ref global(PyObject* name);
// globals()[name] = value
int set_global(PyObject* name, PyObject* value);

// globals()[name](): a module function called by name at the moment of use, so a host that
// replaces it on the module is followed.
inline Ref call_global(PyObject* name) {
  RG_LET(fn, global(name));
  return call(fn);
}

// Truth value of a module-level flag; -1 on error.
int global_truth(PyObject* name);

// log.<level>(message, *args) on the module logger `log`.
template <class... A>
Ref log_at(PyObject* level, const char* message, const A&... args) {
  RG_LET(log, global(S("log")));
  RG_LET(msg, str(message));
  return call_method(log, level, msg, args...);
}
// log.<level>(message, exc_info=True) while `exc` is the exception being handled, as a call
// inside the `except` block that caught it.
Ref log_exc_at(PyObject* level, const char* message, PyObject* exc);
// log.exception(message) while `exc` is the exception being handled.
Ref log_exception(const char* message, PyObject* exc);

// Lets importlib.reload run a multi-phase module's body again, as Python's reload of a source
// module does (3.11 skips the exec slot of a module that ran it once). Call after each run.
void allow_reload(PyObject* module);

// Marks the running code as the module body for a scope: its imports pass the globals as
// locals too, as the body's own import statements do.
class BodyScope {
 public:
  BodyScope();
  ~BodyScope();
  BodyScope(const BodyScope&) = delete;
  BodyScope& operator=(const BodyScope&) = delete;
};

// `import a.b.c` as the statement does it in the module's code: the `__import__` of the
// module's builtins, called with the module's globals, then the attributes walked from the
// top package it returned. sys.modules substitutes and import hooks are honoured.
Ref import(const char* dotted);
// `from module import name`: __import__ with fromlist (name,), then the attribute.
Ref import_from(const char* module, PyObject* name);
// `from module import a, b, ...`: one __import__ with fromlist (a, b, ...), then out[i] = each
// attribute in turn; -1 with the error set at the first that fails.
int import_from(const char* module, PyObject* const* names, size_t count, Ref* out);

}  // namespace rg

#define G(name) ::rg::global(S(name))
