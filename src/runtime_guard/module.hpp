// The module object and late-bound access to its globals.
//
// Every module-level name (constants, flags, functions, patterns, `log`, the imported standard
// modules) is read from the module's dict at the moment of use, so a host that replaces
// `rg._SESSIONS_FILE` or `rg._post_usage` is followed exactly as Python code would follow it.
#pragma once

#include "py.hpp"

namespace rg {

inline constexpr const char* kModuleName = "orlune.core.runtime_guard";

// The module whose code is running on this thread, borrowed. Entry points that Python calls
// (module functions, methods, native callables the module hands out) open a ModuleScope for
// the module they were created by, so late-bound lookups read that module's dict.
PyObject* module();

class ModuleScope {
 public:
  explicit ModuleScope(PyObject* module);
  ~ModuleScope();
  ModuleScope(const ModuleScope&) = delete;
  ModuleScope& operator=(const ModuleScope&) = delete;

 private:
  PyObject* previous_;
};

// globals()[name], or NameError.
Ref global(PyObject* name);
// globals()[name] = value
int set_global(PyObject* name, PyObject* value);

// Truth value of a module-level flag; -1 on error.
int global_truth(PyObject* name);

// log.<level>(message, *args) on the module logger `log`.
template <class... A>
Ref log_at(PyObject* level, const char* message, const A&... args) {
  Ref log = TRY(global(S("log")));
  Ref msg = TRY(str(message));
  return call_method(log, level, msg, args...);
}
// Same, with exc_info=<exception> so the record carries the traceback.
Ref log_exc_at(PyObject* level, const char* message, PyObject* exc);

}  // namespace rg

#define G(name) ::rg::global(S(name))
