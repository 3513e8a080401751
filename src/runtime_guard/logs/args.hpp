// Argument parsing for the log functions, which take exactly one parameter (by position or
// by keyword) through the fast calling convention.
#pragma once

#include "params.hpp"

namespace rg::logs {

// The single argument `name` of `fn`, borrowed; null with TypeError set when the call does
// not pass exactly that argument.
inline PyObject* single_argument(const char* fn, const char* name, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
  const char* names[] = {name};
  PyObject* value = nullptr;
  return bind_required(fn, names, 1, args, nargs, kwnames, &value) < 0 ? nullptr : value;
}

}  // namespace rg::logs
