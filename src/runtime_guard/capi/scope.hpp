// The running module, its globals, logger and imports. Every module-level name is read from the
// module's dict when used, so a host that replaces `rg._post_usage` is followed as Python code
// would follow it.
#pragma once

#include "capi/guard.hpp"

namespace rg {
// The module whose code runs on this thread, borrowed; null with SystemError when no scope is
// open. Each entry point Python calls opens a ModuleScope for the module that made it (each
// import makes a module of its own); `owner` is the __self__ of the builtin that runs, if any.
struct ModuleScope : Pinned {
  explicit ModuleScope(PyObject* module, PyObject* owner = nullptr);
  ~ModuleScope();
  PyObject* const previous;
  PyObject* const previous_owner;
};
PyObject* module();
PyObject* running_owner();  // the running builtin's __self__, borrowed; null outside one
Ref global(PyObject* name);  // globals()[name], or NameError
int set_global(PyObject* name, PyObject* value);
// globals()[name](), looked up when called, so a host that replaces it is followed.
inline Ref call_global(PyObject* name) { return call(global(name)); }
Answer global_flag(PyObject* name);  // bool(globals()[name])
// log.<level>(message, *args) on the module logger `log`.
template <class... A>
Ref log_at(PyObject* level, const char* message, const A&... args) {
  RG_LET(log, global(S("log")));
  RG_LET(msg, str(message));
  return call_method(log, level, msg, args...);
}
// log.<level>(message, exc_info=True) while `exc` is the exception being handled, as a call
// inside the `except` block that caught it; log.exception(message) likewise.
Ref log_exc_at(PyObject* level, const char* message, PyObject* exc, bool exc_info = true);
inline Ref log_exception(const char* message, PyObject* exc) {
  return log_exc_at(S("exception"), message, exc, false);
}
// `except Exception: log.debug(message, exc_info=True)`: 0 when the pending error was ordinary
// and is logged; -1 with an error set otherwise (KeyboardInterrupt stays, a failing log).
int log_ordinary(const char* message);
// Lets importlib.reload run a multi-phase module's body again, as it does for a source module
// (3.11 skips the exec slot of a module that ran it once). Call after each run.
void allow_reload(PyObject* module);
// Marks the running code as the module body for a scope: its imports pass the globals as
// locals too, as the body's own import statements do.
struct BodyScope : Pinned {
  BodyScope();
  ~BodyScope();
};
// `import a.b.c` as the statement in the module's code does it: the `__import__` of the
// module's builtins, called with its globals, then the attributes walked from the top package.
Ref import(const char* dotted);
Ref import_from(const char* module, PyObject* name);  // `from module import name`
// `from module import a, b, ...`: out[i] = each name in turn; -1 at the first that fails.
int import_from(const char* module, PyObject* const* names, size_t count, Ref* out);
}  // namespace rg
#define G(name) ::rg::global(S(name))
