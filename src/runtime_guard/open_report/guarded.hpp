// What `runtimeguard` puts in place of a function (`_wrapper`) or of a class's initialiser
// (`_init`): a real Python function, so everything that inspects functions (Qt's signal
// connection, mock's autospec, pytest, `inspect`, C code reading `__code__`) finds one.
#pragma once

#include "capi/py.hpp"

namespace rg {

enum class GuardedKind { Wrapper, Init };

// The guard a wrapper function calls: reports the label, then calls `wrapped` with the
// arguments it received. Made for the running module. `shape` is the wrapper's code when it
// takes the wrapped function's own parameters (its body then passes `locals()`), else null;
// `binder`, with it, a function taking the same parameters that does nothing.
Ref make_guard(PyObject* wrapped, PyObject* label, GuardedKind kind, PyObject* shape,
               PyObject* binder);

// The guard's binder, borrowed; null when its wrapper's code is `(*args, **kwargs)`.
PyObject* guard_binder(PyObject* guard);

// True for a guard. A call of the wrapper function that runs no frame of it goes straight to
// its guard: the guard then binds `_init`'s `self` (errors name `function_qualname`) and counts
// the wrapper's level itself for name inference.
bool is_guard(PyObject* o);
PyObject* call_guard_framelessly(PyObject* guard, PyObject* function_qualname, PyObject* const* args,
                                 size_t nargsf, PyObject* kwnames);

// The bare wrapper function around a new guard, what a fresh nested `def _wrapper(*args,
// **kwargs)` (or `_init(self, *args, **kwargs)`) is before `functools.wraps` dresses it.
Ref make_guarded(PyObject* wrapped, PyObject* label, GuardedKind kind);

}  // namespace rg
