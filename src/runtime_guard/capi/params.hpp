// Python's binding of fast-call arguments to the parameters of a `def`, with the interpreter's
// TypeError messages: keywords first, then the positional count, then what is missing.
#pragma once

#include "capi/fail.hpp"

namespace rg {
// def <name>(names[0], ..., names[positional - 1], *, names[positional], ...)
struct Signature {
  const char* name;  // as its __qualname__ has it: "_flush", "report_open.<locals>._worker"
  const char* const* names;
  Py_ssize_t positional;  // the first ones may be passed by position or by keyword
  Py_ssize_t count;
  unsigned required;  // bit i: names[i] has no default
};
// Fills out[0..count) with borrowed values, null where a parameter with a default was left
// out. -1 with Python's TypeError when the call does not match. The messages of a builtin
// method (`owner`, its __self__, not a module) name its class as its __qualname__ does:
// "RuntimeGuarder._flush() takes ...". `owner` may be null.
int bind_arguments(const Signature& sig, PyObject* owner, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
}  // namespace rg
