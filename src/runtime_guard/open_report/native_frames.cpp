#include "open_report/native_frames.hpp"

#include "module.hpp"

namespace rg {

namespace {
thread_local const NativeFrame* t_innermost = nullptr;
}  // namespace

const NativeFrame* innermost_native_frame() { return t_innermost; }

NativeFrameScope::NativeFrameScope(PyObject* code_name, PyObject* self)
    : frame_{code_name, self, module(), PyEval_GetFrame(), t_innermost} {
  t_innermost = &frame_;
}

NativeFrameScope::~NativeFrameScope() { t_innermost = frame_.outer; }

Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback) {
  Ref value = attr(obj, name);
  if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  PyErr_Clear();
  return borrow(fallback);
}

}  // namespace rg
