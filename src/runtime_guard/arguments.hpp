// Binding fast-call arguments to required parameters the way a Python `def` does, with the
// interpreter's TypeError messages (keywords are checked first, then the positional count,
// then what is missing).
#pragma once

#include "py.hpp"

namespace rg {

// def <function>(names[0], ..., names[count - 1]): every parameter required, passed by
// position or by keyword. Fills out[0..count) with borrowed values; -1 with TypeError when
// the call does not match. `function` is the name messages use (a method's qualified name).
int bind_required(const char* function, const char* const* names, Py_ssize_t count,
                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

}  // namespace rg
