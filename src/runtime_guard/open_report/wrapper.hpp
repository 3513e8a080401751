// The function `runtimeguard` puts in place of a function or of a class's initialiser.
#pragma once

#include "capi/py.hpp"

namespace rg {

// The bare wrapper function around a new guard of `wrapped`, what a fresh nested `def
// _wrapper(*args, **kwargs)` (or `_init(self, *args, **kwargs)`) is before `functools.wraps`
// dresses it.
Ref make_guarded(PyObject* wrapped, PyObject* label, bool init);

}  // namespace rg
