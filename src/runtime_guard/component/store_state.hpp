// Whether this process has read the store file. The store is rewritten whole from the rows in
// memory, so a component whose start-up failed before the store was read (or whose cleanup
// runs without any start-up) must not write it: that would replace every stored row with none.
//
// Three states, kept as the instance attribute `_store_loaded`: absent (the component was
// never started; direct calls write as usual), False (known unread: writes are skipped),
// True (read).
#pragma once

#include "capi/py.hpp"

namespace rg {

int mark_store_loaded(PyObject* self);
int mark_store_unread(PyObject* self);
// Marks a component that was never started as unread; leaves a started one as it is.
int mark_unread_if_never_started(PyObject* self);
// 1 when the store may be written, 0 when it must not, -1 on error.
int store_writable(PyObject* self);

// _USAGE_DIR.mkdir(parents=True, exist_ok=True), owner-only when created here: the rows carry
// log text that other local users must not read. -1 on error.
int make_usage_dir();

}  // namespace rg
