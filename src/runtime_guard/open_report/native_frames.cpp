#include "open_report/native_frames.hpp"

#include "capi/module_scope.hpp"

namespace rg {

namespace {

// Far deeper than real nesting (a report made from inside a report's own call); a call past
// it is simply not counted as a level.
constexpr Py_ssize_t kMaxNativeFrames = 32;

// Trivially destructible: nothing to run when the interpreter ends a daemon thread by force.
thread_local NativeFrame t_frames[kMaxNativeFrames];
thread_local Py_ssize_t t_count = 0;
thread_local unsigned long long t_next_id = 0;

}  // namespace

Py_ssize_t native_frame_count() { return t_count; }

const NativeFrame& native_frame(Py_ssize_t index_from_innermost) {
  return t_frames[t_count - 1 - index_from_innermost];
}

NativeFrameScope::NativeFrameScope(PyObject* code_name, PyObject* self) : id_(0) {
  if (!code_name || t_count == kMaxNativeFrames) return;
  id_ = ++t_next_id;
  t_frames[t_count++] = NativeFrame{code_name, self, module(), PyEval_GetFrame(), id_};
}

NativeFrameScope::~NativeFrameScope() {
  if (!id_) return;
  for (Py_ssize_t i = t_count - 1; i >= 0; --i) {
    if (t_frames[i].id != id_) continue;
    for (Py_ssize_t j = i + 1; j < t_count; ++j) t_frames[j - 1] = t_frames[j];
    --t_count;
    return;
  }
}

}  // namespace rg
