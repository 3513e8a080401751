// The module's worker threads are made one way: through the module's `threading` as it is at
// the moment (a host may substitute it), as daemons, never joined at exit by the interpreter.
#pragma once

#include "capi/py.hpp"

namespace rg {

// threading.Thread(target=target[, kwargs=kwargs], name=name, daemon=True), not started.
Ref daemon_thread(PyObject* target, PyObject* name, PyObject* kwargs = nullptr);

}  // namespace rg
