// The module's own functions as call levels of the stack that name inference walks.
//
// Native functions have no interpreter frame, yet a depth counts them like functions written
// in Python. Each function that counts (`report_open`, `RuntimeGuarder.report_open`) pushes a
// NativeFrame for the length of its call, on a per-thread list, recording the interpreter
// frame that called it; the walk slots each native frame in just before that frame.
#pragma once

#include "py.hpp"

namespace rg {

struct NativeFrame {
  PyObject* code_name;    // the function's name (interned, immortal)
  PyObject* self;         // its `self` local, borrowed; null when it has none
  PyObject* module;       // its globals are this module's dict, borrowed
  PyFrameObject* caller;  // interpreter frame current at entry, borrowed; null for none
  const NativeFrame* outer;
};

// Innermost native frame of this thread, or null.
const NativeFrame* innermost_native_frame();

class NativeFrameScope {
 public:
  NativeFrameScope(PyObject* code_name, PyObject* self);
  ~NativeFrameScope();
  NativeFrameScope(const NativeFrameScope&) = delete;
  NativeFrameScope& operator=(const NativeFrameScope&) = delete;

 private:
  NativeFrame frame_;
};

// getattr(obj, name, fallback): only AttributeError gives the fallback.
Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback);

}  // namespace rg
