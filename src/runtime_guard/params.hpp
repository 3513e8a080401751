// Python's binding of fast-call arguments to the parameters of a `def`, with the interpreter's
// TypeError messages (keywords are checked first, then the positional count, then what is
// missing).
#pragma once

#include "py.hpp"

namespace rg {

// def <function>(names[0], ..., names[positional - 1], *, names[positional], ...)
// `function` is the qualified name Python puts in its messages ("RuntimeGuarder.report_open").
struct Signature {
  const char* function;
  const char* const* names;
  Py_ssize_t positional;  // the first ones may be passed by position or by keyword
  Py_ssize_t count;
  Py_ssize_t defaults = 0;  // how many of the positional ones (the last) have a default
};

// Fills out[0..count) with borrowed values, null where nothing was passed (the caller applies
// the default, or calls missing_argument for a required one). -1 with Python's TypeError for
// an unknown keyword, a value given twice or an extra positional, checked in that order.
int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

// TypeError for a required parameter left out; always returns -1.
int missing_argument(const Signature& sig, Py_ssize_t index);

// The one required positional-or-keyword parameter of `def <function>(<name>)`, borrowed;
// null with Python's TypeError when the call does not pass exactly it.
PyObject* single_argument(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// def <function>(names[0], ..., names[count - 1]): every parameter required, passed by
// position or by keyword. Fills out[0..count) with borrowed values; -1 with Python's TypeError
// when the call does not match, naming every missing parameter as the interpreter does.
int bind_required(const char* function, const char* const* names, Py_ssize_t count,
                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

}  // namespace rg
