// The callable `runtimeguard` puts in place of a function (`_wrapper`) or of a class's
// initialiser (`_init`): it reports the label, then calls what it wraps with the arguments
// it received. It behaves like the nested function `functools.wraps` would dress.
#pragma once

#include "capi/py.hpp"

namespace rg {

enum class GuardedKind { Wrapper, Init };

// The bare wrapper around `wrapped`, carrying what a fresh nested `def _wrapper` (or `_init`)
// carries before `functools.wraps` dresses it; made for the running module.
Ref make_guarded(PyObject* wrapped, PyObject* label, GuardedKind kind);

}  // namespace rg
