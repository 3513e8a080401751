// The module's own functions as call levels of the stack that name inference walks: native
// functions have no interpreter frame, yet a depth counts them like Python functions. Each one
// that counts (`report_open`, `RuntimeGuarder.report_open`, the decorator's wrapper) records a
// NativeFrame for the length of its call, with the interpreter frame that called it; the walk
// slots each native frame in just before that frame.
//
// The records are values in a fixed per-thread table, never pointers into the C stack: code that
// switches C stacks on one thread (greenlets) may suspend a call while another runs, and that one
// must never read a suspended call's stack. A record is removed by its own scope wherever it
// stands, so calls that end out of order leave the table sound.
#pragma once

#include "capi/py.hpp"

namespace rg {

struct NativeFrame {
  PyObject* code_name;    // the function's name (interned, immortal)
  PyObject* self;         // its `self` local, borrowed; null when it has none
  PyObject* module;       // its globals are this module's dict, borrowed
  PyFrameObject* caller;  // interpreter frame current at entry, borrowed; null for none
  unsigned long long id;  // which scope recorded it
};

// A null `code_name` records nothing: the level is an interpreter frame of its own then.
class NativeFrameScope {
 public:
  NativeFrameScope(PyObject* code_name, PyObject* self);
  ~NativeFrameScope();
  NativeFrameScope(const NativeFrameScope&) = delete;
  NativeFrameScope& operator=(const NativeFrameScope&) = delete;

 private:
  unsigned long long id_;  // 0 when the table was full: the call is then not counted
};

}  // namespace rg
