// Open reports: a one-row, already closed session naming a feature, posted on a light thread.
//
// The caller's thread only fixes the feature name (its stack exists only here) and starts the
// worker; the row is built and posted on the worker, and nothing of that reaches the caller.
#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/native.hpp"
#include "capi/call.hpp"
#include "open_report/native_frames.hpp"

namespace rg {

// ---- the row -------------------------------------------------------------------------------

RG_DEF(Function, 17, _opened_log_line, "_opened_log_line(feature)", "")
Ref _opened_log_line(PyObject* feature) {
  RG_LET(datetime, G("datetime"));
  RG_LET(now, call_method(datetime, S("now")));
  RG_LET(stamp, call_method(now, S("strftime"), S("%Y-%m-%d %H:%M:%S")));
  RG_LET(name, call(G("_clip_feature"), feature));
  return steal(PyUnicode_FromFormat("%S INFO Opened %S", stamp.get(), name.get()));
}

RG_DEF(Function, 18, _build_open_session, "_build_open_session(feature)", "")
Ref _build_open_session(PyObject* feature) {
  RG_LET(stamp, call(G("_utcnow_iso")));  // one clock reading for both ends
  RG_LET(uuid, G("uuid"));
  RG_LET(fresh, call_method(uuid, S("uuid4")));
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
  RG_LET(post, G("_post_usage"));
  RG_LET(timeout, G("_LIGHT_TIMEOUT"));
  RG_LET(reply, call_kw(post, {rows.get()}, {{S("timeout"), timeout.get()}}));
  Ref status, data;  // status, data = _post_usage(...): the reply is not used further
  RG_CHECK_OK(unpack_pair(reply.get(), status, data));
  return none();
}

// _worker(): one POST attempt; an ordinary failure is logged and the event is lost.
PyObject* run_worker(PyObject* feature, PyObject* const*) {
  if (post_open_event(feature)) Py_RETURN_NONE;
  Ref exc = catch_ordinary();
  RG_CHECK(exc);
  RG_CHECK(log_exc_at(S("debug"), "report_open worker failed", exc.get()));
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
    Ref exc = catch_ordinary();
    RG_CHECK(exc);
    RG_CHECK(log_exc_at(S("debug"), "Could not start report_open thread", exc.get()));
  }
  return none();
}

}  // namespace rg
