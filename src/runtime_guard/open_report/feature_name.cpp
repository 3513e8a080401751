// Feature names: `_clip_feature`, the one normaliser every name passes through, and
// `infer_open_name`, which names the calling `Class.method` or `module.func` from the stack.
//
// Whitespace is Py_UNICODE_ISSPACE throughout: the table both `str.strip()` and the `\s` of a
// str pattern use, so one pass over the text's own storage gives `re.sub(r"\s+", " ",
// text.strip())` exactly.
#include <climits>

#include "capi/module_scope.hpp"
#include "open_report/native_frames.hpp"
#include "capi/values.hpp"
#include "capi/declare.hpp"

namespace rg {

namespace {

PyObject* unknown() { return S("unknown"); }

// Already trimmed, with single spaces as the only whitespace.
template <class Ch>
bool is_normal(const Ch* s, Py_ssize_t n) {
  if (n == 0) return true;
  if (Py_UNICODE_ISSPACE(s[0]) || Py_UNICODE_ISSPACE(s[n - 1])) return false;
  for (Py_ssize_t i = 1; i < n - 1; ++i) {
    if (Py_UNICODE_ISSPACE(s[i]) && (s[i] != ' ' || Py_UNICODE_ISSPACE(s[i + 1]))) return false;
  }
  return true;
}

template <class Ch>
Ref normalized_as(PyObject* text, Py_ssize_t n) {
  const Ch* s = static_cast<const Ch*>(PyUnicode_DATA(text));
  if (is_normal(s, n)) return borrow(text);
  Ch* out = PyMem_New(Ch, n);
  if (!out) return steal(PyErr_NoMemory());
  Py_ssize_t len = 0;
  bool gap = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (Py_UNICODE_ISSPACE(s[i])) {
      gap = len > 0;
      continue;
    }
    if (gap) out[len++] = ' ';
    gap = false;
    out[len++] = s[i];
  }
  // FromKindAndData picks the narrowest storage, as str requires (a removed wide space may
  // leave only narrow characters).
  Ref result = steal(PyUnicode_FromKindAndData(sizeof(Ch), out, len));
  PyMem_Free(out);
  return result;
}

// re.sub(r"\s+", " ", text.strip()); `text` is a str (possibly a subclass).
Ref normalized(PyObject* text) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return normalized_as<Py_UCS1>(text, n);
    case PyUnicode_2BYTE_KIND: return normalized_as<Py_UCS2>(text, n);
    default: return normalized_as<Py_UCS4>(text, n);
  }
}

// text[:_MAX_FEATURE_NAME], an exact str; the cap is read at each call.
Ref cut(PyObject* text) {
  RG_LET(limit, G("_MAX_FEATURE_NAME"));
  if (!PyLong_CheckExact(limit.get())) {
    RG_LET(slice, steal(PySlice_New(nullptr, limit.get(), nullptr)));
    return steal(PyObject_GetItem(text, slice.get()));
  }
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  int overflow;
  long long stop = PyLong_AsLongLongAndOverflow(limit.get(), &overflow);
  if (overflow) stop = overflow > 0 ? n : 0;
  if (stop < 0) stop = stop + n < 0 ? 0 : stop + n;
  return steal(PyUnicode_Substring(text, 0, stop < n ? static_cast<Py_ssize_t>(stop) : n));
}

}  // namespace

RG_DEF(Function, 9, _clip_feature, "_clip_feature(name)", "")
Ref _clip_feature(PyObject* name) {
  int truth = PyObject_IsTrue(name);
  if (truth < 0) return {};
  if (!truth) return borrow(unknown());
  RG_LET(text, steal(PyObject_Str(name)));
  RG_LET(normal, normalized(text.get()));
  if (PyUnicode_GET_LENGTH(normal.get()) == 0) return borrow(unknown());
  return cut(normal.get());
}

namespace {

// ---- name inference ------------------------------------------------------------------------

// str(globals.get("__name__") or "").strip()
Ref module_name(PyObject* globals) {
  RG_LET(raw, mapping_get(globals, S("__name__")));
  int truth = PyObject_IsTrue(raw.get());
  if (truth < 0) return {};
  if (!truth) return str("");
  RG_LET(text, steal(PyObject_Str(raw.get())));
  return call_method(text, S("strip"));
}

bool is_one_of(PyObject* text, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (PyUnicode_CompareWithASCIIString(text, w) == 0) return true;
  return false;
}

// The clipped name for a frame whose function is `func`, from its `self` and `cls` locals
// (None when absent) and its globals.
Ref compose(PyObject* func, PyObject* self_obj, PyObject* cls_obj, PyObject* globals) {
  Ref text;
  if (self_obj != Py_None) {
    RG_LET(type_name, attr(reinterpret_cast<PyObject*>(Py_TYPE(self_obj)), S("__name__")));
    text = steal(PyUnicode_FromFormat("%S.%S", type_name.get(), func));
  } else if (cls_obj != Py_None) {
    RG_LET(raw, attr_or(cls_obj, S("__name__"), Py_None));
    int named = PyObject_IsTrue(raw.get());
    if (named < 0) return {};
    RG_LET(cls_name, named ? std::move(raw) : steal(PyObject_Str(cls_obj)));
    text = steal(PyUnicode_FromFormat("%S.%S", cls_name.get(), func));
  } else {
    RG_LET(module, module_name(globals));
    const bool prefixed = PyUnicode_Check(module.get()) && PyUnicode_GET_LENGTH(module.get()) > 0 &&
                          !is_one_of(module.get(), {"__main__", "builtins"});
    text = prefixed ? steal(PyUnicode_FromFormat("%S.%S", module.get(), func)) : borrow(func);
  }
  if (!text) return {};
  RG_LET(clip, G("_clip_feature"));
  return call(clip, text);
}

Ref name_of_frame(PyFrameObject* frame) {
  Ref code = steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  PyObject* func = reinterpret_cast<PyCodeObject*>(code.get())->co_name;
  RG_LET(locals, steal(PyFrame_GetLocals(frame)));
  RG_LET(self_obj, mapping_get(locals.get(), S("self")));
  // A plain dict gives the same answer twice; any other mapping is asked afresh.
  RG_LET(cls_locals, PyDict_CheckExact(locals.get()) ? borrow(locals.get())
                                                      : steal(PyFrame_GetLocals(frame)));
  RG_LET(cls_obj, mapping_get(cls_locals.get(), S("cls")));
  RG_LET(globals, steal(PyFrame_GetGlobals(frame)));
  return compose(func, self_obj.get(), cls_obj.get(), globals.get());
}

Ref name_of_native(const NativeFrame& frame) {
  return compose(frame.code_name, frame.self ? frame.self : Py_None, Py_None,
                 PyModule_GetDict(frame.module));
}

// Walks max(1, int(depth)) levels out from the inference itself, native frames of the module
// counted where they were called; "unknown" when the stack is shallower.
Ref infer(PyObject* depth) {
  RG_LET(levels, steal(PyNumber_Long(depth)));
  int overflow;
  long long steps = PyLong_AsLongLongAndOverflow(levels.get(), &overflow);
  if (overflow) steps = overflow > 0 ? LLONG_MAX : 1;
  if (steps < 1) steps = 1;

  const Py_ssize_t natives = native_frame_count();
  Py_ssize_t next_native = 0;
  Ref next_real = borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
  NativeFrame examined_native{};  // a copy: naming it may run code that changes the table
  bool native_examined = false;
  Ref examined_real;
  for (long long i = 0; i < steps; ++i) {
    const NativeFrame* native = next_native < natives ? &native_frame(next_native) : nullptr;
    if (native && reinterpret_cast<PyObject*>(native->caller) == next_real.get()) {
      examined_native = *native;
      native_examined = true;
      ++next_native;
    } else if (next_real) {
      native_examined = false;
      examined_real = std::move(next_real);
      auto* frame = reinterpret_cast<PyFrameObject*>(examined_real.get());
      next_real = steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
    } else {
      return borrow(unknown());
    }
  }
  if (native_examined) return name_of_native(examined_native);
  return name_of_frame(reinterpret_cast<PyFrameObject*>(examined_real.get()));
}

}  // namespace

RG_DEF(Function, 10, infer_open_name, "infer_open_name(depth=2)",
       "Best-effort ``Class.method`` / ``module.func`` name from the call stack.")
Ref infer_open_name(PyObject* depth) {
  Ref name = infer(depth);
  if (name || !catch_ordinary()) return name;  // not an ordinary exception: it passes
  return borrow(unknown());
}

}  // namespace rg
