// After os.fork() the child has one thread: a lock that another thread of the parent held
// stays held for good. A hook run in the child re-creates the module's locks and the locks of
// every live component, as the standard `logging` module does for its handlers.
#pragma once

#include "capi/py.hpp"

namespace rg {

// Registers the hook with os.register_at_fork once per module (never at import: the first
// component or the first use of a module lock does it). -1 on error.
int ensure_fork_hook();

// Tracks a component (weakly) so that a forked child gets fresh `_lock` and `_flush_lock`.
int track_for_fork(PyObject* component);

}  // namespace rg
