// The module's native functions as call levels for name inference: each that counts records a
// NativeFrame for its call, with its calling interpreter frame, and the walk slots it in there.
// Records are values in a per-thread table, never pointers into the C stack (greenlets may
// suspend a call while another runs on the thread); each scope removes its own record wherever
// it stands, so calls that end out of order leave the table sound.
#pragma once

#include "capi/guard.hpp"

namespace rg {
struct NativeFrame {
  PyObject* code_name;    // interned, immortal
  PyObject* self;         // borrowed; null when it has none
  PyObject* module;       // whose dict is its globals, borrowed
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
