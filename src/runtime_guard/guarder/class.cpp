// The class statement and its small members: `__init__`, the `report_open` alias, the tracking
// flag, the panel's log text, and the static helpers the flush resolves its identity by.
#include "guarder/guarder.hpp"

#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/call.hpp"
#include "open_report/native_frames.hpp"
#include "threads/threads.hpp"

namespace rg {
namespace {
#define RG_CLASS_DOC "Record local open/close sessions and flush them to the usage endpoint."
int set_attr(PyObject* o, PyObject* name, const Ref& value) {
  return value ? PyObject_SetAttr(o, name, value.get()) : -1;
}
RG_DEF(Method, 1, init, "__init__(self, app_context)", "")
Ref init(PyObject* self, PyObject* app_context) {
  // super().__init__("runtime_guard", app_context), `super()` naming the defining class
  RG_LET(sup, call(reinterpret_cast<PyObject*>(&PySuper_Type), defining_class(), self));
  RG_CHECK(call_method(sup, S("__init__"), str("runtime_guard"), app_context));
  RG_CHECK_OK(set_attr(self, S("dependencies"), steal(Py_BuildValue("[s]", "config_manager"))));
  RG_CHECK_OK(PyObject_SetAttr(self, S("_enabled"), Py_True));
  RG_CHECK_OK(set_attr(self, S("_lock"), call_method(G("threading"), S("Lock"))));
  RG_CHECK_OK(set_attr(self, S("_sessions"), steal(PyList_New(0))));
  RG_CHECK_OK(set_attr(self, S("_current_id"), str("")));
  RG_CHECK_OK(set_attr(self, S("_flush_lock"), call_method(G("threading"), S("Lock"))));
  RG_CHECK_OK(track_for_fork(self));
  return none();
}

// One call level more than the module function, so the default still names the caller.
RG_DEF(Method, 4, report_open, "report_open(self, name=None, *, depth=2)",
       "Instance alias for the module-level :func:`report_open` helper.")
Ref report_open(PyObject* self, PyObject* name, PyObject* depth) {
  RG_LET(one, integer(1));
  RG_LET(outer_depth, steal(PyNumber_Add(depth, one.get())));
  NativeFrameScope level(S("report_open"), self);
  RG_CHECK(call_kw(G("report_open"), {name}, {{S("depth"), outer_depth.get()}}));
  return none();
}

RG_DEF(Method, 5, _reload_flags, "_reload_flags(self)", "")
Ref _reload_flags(PyObject* self) {
  RG_LET(ctx, attr(self, S("app_context")));
  RG_TRUTH(has_ctx, ctx.get());
  if (!has_ctx) return none();
  RG_LET(config, call_method(ctx, S("get_component"), S("config_manager")));
  if (config.get() == Py_None) return none();
  // Errors from the settings propagate: the lifecycle decides what a broken setting means.
  RG_LET(value, call_method(config, S("get_value"), S("Telemetry"), S("enabled"), Py_True));
  RG_TRUTH(enabled, value.get());
  RG_CHECK_OK(PyObject_SetAttr(self, S("_enabled"), enabled ? Py_True : Py_False));
  RG_LET(now, attr(self, S("_enabled")));
  RG_TRUTH(still, now.get());
  if (!still) RG_CHECK(log_at(S("info"), "Usage tracking disabled ([Telemetry] enabled=false)"));
  return none();
}

// A panel that cannot be read gives "": the failure is logged, unless it is not ordinary.
Ref unreadable_panel() {
  Ref exc = catch_ordinary();
  if (!exc) return {};
  RG_CHECK(log_exc_at(S("debug"), "Could not read logging panel records", exc.get()));
  return str("");
}
RG_DEF(Method, 12, _capture_logs, "_capture_logs(self)", "")
Ref _capture_logs(PyObject* self) {
  RG_LET(context, attr(self, S("app_context")));
  RG_TRUTH(present, context.get());
  if (!present) return str("");
  RG_LET(panel, call_method(context, S("get_component"), S("logger")));
  if (panel.get() == Py_None) return str("");
  const Answer readable = hasattr(panel.get(), S("get_recent_logs"));
  if (readable != Answer::kYes) return readable == Answer::kFailed ? Ref() : str("");
  RG_LET(count, integer(1000));
  Ref result = call_kw(attr(panel, S("get_recent_logs")), {}, {{S("count"), count.get()}});
  if (!result) return unreadable_panel();
  // A record the panel cannot render (not a mapping, a stamp out of range) must not lose
  // the whole close.
  RG_LET(empty, steal(PyList_New(0)));
  Ref records = or_else(std::move(result), empty.get());
  Ref copy = records ? steal(PySequence_List(records.get())) : Ref();
  Ref text = copy ? call(G("format_panel_logs"), copy) : Ref();
  return text ? std::move(text) : unreadable_panel();
}

// Each calls the module function by name when it runs: a host that replaces it is followed.
RG_DEF(StaticMethod, 15, _machine_id, "_machine_id()", "")
Ref _machine_id() { return call_global(S("_resolve_machine_id")); }
RG_DEF(StaticMethod, 16, _token_fields, "_token_fields()", "")
Ref _token_fields() { return call_global(S("_resolve_token_fields")); }
RG_DEF(StaticMethod, 17, _app_version, "_app_version()", "")
Ref _app_version() { return call_global(S("_resolve_app_version")); }
RG_DEF(StaticMethod, 18, _endpoint, "_endpoint()", "")
Ref _endpoint() { return call_global(S("_resolve_endpoint")); }
}  // namespace

Ref guarder_class(PyObject* module, const char* module_name) {
  RG_LET(base, G("ApplicationComponent"));
  RG_LET(modname, str(module_name));
  RG_LET(qualname, str("RuntimeGuarder"));
  // Created with its text signature (what inspect reports, kept in tp_doc); __doc__ then set.
  RG_LET(doc, str("RuntimeGuarder(app_context)\n--\n\n" RG_CLASS_DOC));
  // A class statement binds these before the body's members.
  RG_LET(ns, dict_of({{S("__module__"), modname.get()}, {S("__qualname__"), qualname.get()},
                      {S("__doc__"), doc.get()}}));
  RG_LET(owner, new_method_owner(module));
  RG_CHECK_OK(bind_declared(declare::Body::Class, ns.get(), owner.get(), module_name, 1));
  RG_LET(bases, steal(PyTuple_Pack(1, base.get())));
  RG_LET(cls, call(reinterpret_cast<PyObject*>(Py_TYPE(base.get())), qualname, bases, ns));
  set_owner_class(owner.get(), cls.get());
  RG_LET(plain_doc, str(RG_CLASS_DOC));
  RG_CHECK_OK(PyObject_SetAttr(cls.get(), S("__doc__"), plain_doc.get()));
  return cls;
}
}  // namespace rg
