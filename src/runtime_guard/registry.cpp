#include "registry.hpp"

#include <cstdio>

namespace rg {

int bind_unusual_call(const char* name, Slot slot, Py_ssize_t count, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, PyObject** self) {
  // A method's messages carry its qualified name, as a `def` in the class body would.
  char qualname[128];
  std::snprintf(qualname, sizeof qualname, "%s%s",
                slot == Slot::ModuleFunction ? "" : "RuntimeGuarder.", name);
  const char* names[] = {"self"};
  return bind_required(qualname, names, count, args, nargs, kwnames, self);
}

}  // namespace rg
