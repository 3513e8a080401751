// A callable the module hands to Python code (a thread's target, the decorator a factory
// returns): a C++ body, the one object it closes over, and the module it was made for. Each
// call opens that module's scope, so its late-bound lookups read that module's dict however
// late the call comes (a light thread may run after a fresh import).
#pragma once

#include "py.hpp"

namespace rg {

// Called with the closed-over state and the call's positional arguments (their number is
// checked against the closure's arity first).
using ClosureBody = PyObject* (*)(PyObject* state, PyObject* const* args);

// `qualname` is a literal kept for the closure's life ("report_open.<locals>._worker").
Ref make_closure(const char* qualname, Py_ssize_t arity, ClosureBody body, PyObject* state);

}  // namespace rg
