// Forwards to scope.hpp. The int form goes once its callers take global_flag's Answer.
#pragma once
#include "capi/scope.hpp"

namespace rg {
inline int global_truth(PyObject* name) { return int(global_flag(name)); }
}  // namespace rg
