// Whether this process has read the store file. A component that never read it must not
// rewrite it from its (empty) rows in memory.
#pragma once

#include "py.hpp"

namespace rg {

int mark_store_loaded(PyObject* self);
// 1 when loaded, 0 when not, -1 on error.
int store_loaded(PyObject* self);

}  // namespace rg
