#include "registry.hpp"

#include <cstdio>

namespace rg {

int wrong_call(const char* name, Slot slot, Py_ssize_t count, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames) {
  // A method's messages carry its qualified name, as a `def` in the class body would.
  char qualname[128];
  std::snprintf(qualname, sizeof qualname, "%s%s",
                slot == Slot::ModuleFunction ? "" : "RuntimeGuarder.", name);
  const char* self[] = {"self"};
  PyObject* value = nullptr;
  if (bind_required(qualname, self, count, args, nargs, kwnames, &value) == 0)
    PyErr_SetString(PyExc_SystemError, "runtime_guard: call accepted by the fast path check");
  return -1;
}

}  // namespace rg
