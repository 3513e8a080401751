// Forwards to call.hpp. The int forms go once their callers take the Answer ones.
#pragma once
#include "capi/call.hpp"

namespace rg {
inline int optional_attr(PyObject* obj, PyObject* name, Ref& out) {
  return int(lookup_attr(obj, name, out));
}
inline int has_attr(PyObject* obj, PyObject* name) { return int(hasattr(obj, name)); }
}  // namespace rg
