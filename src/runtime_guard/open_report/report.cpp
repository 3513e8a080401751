// Open reports: a one-row closed session naming a feature, posted on a light thread (the caller
// only fixes the name). `_clip_feature` normalises every name, `infer_open_name` finds the calling
// `Class.method` or `module.func`. Whitespace is Py_UNICODE_ISSPACE, the table of `str.strip()`
// and `\s`: one pass gives `re.sub(r"\s+", " ", text.strip())` exactly.
#include <algorithm>
#include <type_traits>

#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/native.hpp"
#include "capi/call.hpp"
#include "open_report/native_frames.hpp"
#include "capi/buffer.hpp"
#include "redact/scanners.hpp"

namespace rg {
RG_DEF(Function, 17, _opened_log_line, "_opened_log_line(feature)", "")
Ref _opened_log_line(PyObject* feature) {
  RG_LET(now, call_method(G("datetime"), S("now")));
  RG_LET(stamp, call_method(now, S("strftime"), S("%Y-%m-%d %H:%M:%S")));
  RG_LET(name, call(G("_clip_feature"), feature));
  return steal(PyUnicode_FromFormat("%S INFO Opened %S", stamp.get(), name.get()));
}

RG_DEF(Function, 18, _build_open_session, "_build_open_session(feature)", "")
Ref _build_open_session(PyObject* feature) {
  RG_LET(stamp, call(G("_utcnow_iso")));  // one clock reading for both ends
  RG_LET(fresh, call_method(G("uuid"), S("uuid4")));
  RG_LET(session_id, steal(PyObject_Str(fresh.get())));
  RG_LET(log_text, call(G("_opened_log_line"), feature));
  RG_LET(zero, integer(0));
  return dict_of({{S("session_id"), session_id.get()}, {S("started_at"), stamp.get()},
                  {S("ended_at"), stamp.get()}, {S("duration_s"), zero.get()},
                  {S("ended_cleanly"), Py_True}, {S("log_text"), log_text.get()}});
}

namespace {
Ref post_open_event(PyObject* feature) {
  RG_LET(row, call(G("_build_open_session"), feature));
  RG_LET(rows, steal(Py_BuildValue("[O]", row.get())));
  RG_LET(timeout, G("_LIGHT_TIMEOUT"));
  RG_LET(reply, call_kw(G("_post_usage"), {rows.get()}, {{S("timeout"), timeout.get()}}));
  Ref status, data;  // status, data = _post_usage(...), unused
  RG_CHECK_OK(unpack_pair(reply.get(), status, data));
  return none();
}

// _worker(): one POST attempt; an ordinary failure is logged and the event lost.
PyObject* run_worker(PyObject* feature, PyObject* const*) {
  if (post_open_event(feature)) Py_RETURN_NONE;
  RG_CHECK_OK(log_ordinary("report_open worker failed"));
  Py_RETURN_NONE;
}
}  // namespace

RG_DEF(Function, 19, report_open, "report_open(name=None, *, depth=2)",
       "Fire-and-forget open event including the function/class name.\n"
       "\n"
       "Safe to call from library code: the network I/O runs on a daemon thread and never\n"
       "raises into the caller. Analytics picks up ``Opened <name>`` from the session log\n"
       "blob. Short scripts should call :func:`flush_runtime_guard` (or rely on the automatic\n"
       "``atexit`` flush) so the POST can finish.")
Ref report_open(PyObject* name, PyObject* depth) {
  NativeFrameScope level(S("report_open"), nullptr);
  RG_TRUTH(named, name);
  RG_LET(feature, named ? call(G("_clip_feature"), name)
                        : call_kw(G("infer_open_name"), {}, {{S("depth"), depth}}));
  RG_LET(worker, make_closure("report_open.<locals>._worker", nullptr, run_worker, feature.get()));
  Ref started =
      call_kw(G("_spawn_light_thread"), {worker.get()}, {{S("name"), S("orlune-report-open")}});
  if (!started) {
    RG_CHECK_OK(log_ordinary("Could not start report_open thread"));
  }
  return none();
}

namespace {
// Already trimmed, with single spaces as the only whitespace.
template <class Ch>
bool is_normal(const Ch* s, Py_ssize_t n) {
  if (n == 0) return true;
  if (Py_UNICODE_ISSPACE(s[0]) || Py_UNICODE_ISSPACE(s[n - 1])) return false;
  for (Py_ssize_t i = 1; i < n - 1; ++i)
    if (Py_UNICODE_ISSPACE(s[i]) && (s[i] != ' ' || Py_UNICODE_ISSPACE(s[i + 1]))) return false;
  return true;
}

// re.sub(r"\s+", " ", text.strip()): `text` itself when it is already so.
Str normalized(Str text) {
  return redact::with_text(text, [&](auto* s, Py_ssize_t n) -> Str {
    using Ch = std::remove_cv_t<std::remove_pointer_t<decltype(s)>>;
    if (is_normal(s, n)) return std::move(text);
    Buffer<Ch> buffer;
    Ch* out = buffer.room(static_cast<size_t>(n));
    if (!out) return {};
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
    // FromKindAndData picks the narrowest storage: a removed wide space may leave narrow text.
    return Str::fresh(PyUnicode_FromKindAndData(sizeof(Ch), out, len));
  });
}

// text[:_MAX_FEATURE_NAME], an exact str; the cap is read at each call.
Ref cut(const Str& text) {
  RG_LET(limit, G("_MAX_FEATURE_NAME"));
  if (!PyLong_CheckExact(limit.get())) {
    RG_LET(slice, steal(PySlice_New(nullptr, limit.get(), nullptr)));
    return steal(PyObject_GetItem(text.get(), slice.get()));
  }
  int overflow;  // an exact int: no error, only out of range
  const long long stop = PyLong_AsLongLongAndOverflow(limit.get(), &overflow);
  const long long n = text.size(), end = overflow ? (overflow > 0 ? n : 0) : stop;
  const long long cut_at = end >= 0 ? std::min(end, n) : std::max(0LL, end + n);
  return steal(PyUnicode_Substring(text.get(), 0, static_cast<Py_ssize_t>(cut_at)));
}

RG_DEF(Function, 9, _clip_feature, "_clip_feature(name)", "")
Ref _clip_feature(PyObject* name) {
  RG_TRUTH(truth, name);
  if (!truth) return borrow(S("unknown"));
  Str text = Str::of(steal(PyObject_Str(name)));
  const Str normal = text ? normalized(std::move(text)) : Str();
  if (!normal) return {};
  return normal.size() ? cut(normal) : borrow(S("unknown"));
}

// Far deeper than real nesting. Trivially destructible: a daemon thread may be ended by force.
constexpr Py_ssize_t kMaxNativeFrames = 32;
thread_local NativeFrame t_frames[kMaxNativeFrames];
thread_local Py_ssize_t t_count = 0;
thread_local unsigned long long t_next_id = 0;

// str(globals.get("__name__") or "").strip()
Ref module_name(PyObject* globals) {
  RG_LET(raw, mapping_get(globals, S("__name__")));
  RG_TRUTH(truth, raw.get());
  if (!truth) return str("");
  RG_LET(text, steal(PyObject_Str(raw.get())));
  return call_method(text, S("strip"));
}

// The clipped name for function `func` from its `self` and `cls` locals (or None) and globals.
Ref compose(PyObject* func, PyObject* self_obj, PyObject* cls_obj, PyObject* globals) {
  Ref prefix;  // what goes before the dot, unless the name is bare
  bool bare = false;
  if (self_obj != Py_None) {
    prefix = attr(reinterpret_cast<PyObject*>(Py_TYPE(self_obj)), S("__name__"));
  } else if (cls_obj != Py_None) {
    RG_LET(raw, attr_or(cls_obj, S("__name__"), Py_None));
    RG_TRUTH(named, raw.get());
    prefix = named ? std::move(raw) : steal(PyObject_Str(cls_obj));
  } else {
    RG_LET(module, module_name(globals));
    const Str named = Str::probe(module.get());
    bare = !named || named.size() == 0 ||
           !PyUnicode_CompareWithASCIIString(module.get(), "__main__") ||
           !PyUnicode_CompareWithASCIIString(module.get(), "builtins");
    prefix = std::move(module);
  }
  if (!prefix) return {};
  RG_LET(text, bare ? borrow(func) : steal(PyUnicode_FromFormat("%S.%S", prefix.get(), func)));
  return call(G("_clip_feature"), text);
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

// Walks max(1, int(depth)) levels out, native frames counted where they were called.
Ref infer(PyObject* depth) {
  RG_LET(levels, steal(PyNumber_Long(depth)));
  const Py_ssize_t steps = std::max<Py_ssize_t>(1, PyNumber_AsSsize_t(levels.get(), nullptr));
  Py_ssize_t next_native = 0;  // the thread's native frames passed, innermost first
  Ref next_real = borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
  NativeFrame examined_native{};  // a copy: naming it may run code that changes the table
  bool native_examined = false;
  Ref examined_real;
  for (Py_ssize_t i = 0; i < steps; ++i) {
    const Py_ssize_t at = t_count - 1 - next_native;
    const NativeFrame* native = at >= 0 ? &t_frames[at] : nullptr;
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
      return borrow(S("unknown"));
    }
  }
  if (native_examined)
    return compose(examined_native.code_name, examined_native.self ? examined_native.self : Py_None,
                   Py_None, PyModule_GetDict(examined_native.module));
  return name_of_frame(reinterpret_cast<PyFrameObject*>(examined_real.get()));
}
}  // namespace

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

RG_DEF(Function, 10, infer_open_name, "infer_open_name(depth=2)",
       "Best-effort ``Class.method`` / ``module.func`` name from the call stack.")
Ref infer_open_name(PyObject* depth) {
  Ref name = infer(depth);
  if (name || !catch_ordinary()) return name;  // not an ordinary exception: it passes
  return borrow(S("unknown"));
}
}  // namespace rg
