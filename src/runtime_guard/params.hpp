// Python's binding of fast-call arguments to the parameters of a `def`, for the module
// functions whose signature has defaults or keyword-only parameters.
#pragma once

#include "py.hpp"

namespace rg {

// def <function>(names[0], ..., names[positional - 1], *, names[positional], ...)
struct Signature {
  const char* function;
  const char* const* names;
  Py_ssize_t positional;  // the first ones may be passed by position or by keyword
  Py_ssize_t count;
};

// Fills out[0..count) with borrowed values, null where nothing was passed (the caller applies
// the default, or calls missing_argument for a required one). -1 with Python's TypeError for
// an extra positional, an unknown keyword or a value given twice.
int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

// TypeError for a required parameter left out; always returns -1.
int missing_argument(const Signature& sig, Py_ssize_t index);

}  // namespace rg
