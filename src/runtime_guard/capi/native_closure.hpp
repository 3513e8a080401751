// A callable the module hands to Python code (a thread's target, the decorator a factory
// returns): a C++ body, the one object it closes over, and the module it was made for. Each
// call opens that module's scope, so its late-bound lookups read that module's dict however
// late the call comes (a light thread may run after a fresh import).
#pragma once

#include "capi/py.hpp"

namespace rg {

// Called with the closed-over state and the call's arguments, bound as Python binds them to
// the closure's parameters (none, or one that may be passed by position or by keyword).
using ClosureBody = PyObject* (*)(PyObject* state, PyObject* const* args);

// `qualname` ("report_open.<locals>._worker") and `parameter` (null for none) are literals
// kept for the closure's life. Like a nested `def`, the closure binds as a method when stored
// on a class, takes attributes and has a signature.
Ref make_closure(const char* qualname, const char* parameter, ClosureBody body, PyObject* state);

}  // namespace rg
