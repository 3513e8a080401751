// The component's side of the host bindings: the tracking flag read from the host settings,
// and the four static helpers the flush resolves its identity and endpoint through.
#include "capi/module_scope.hpp"
#include "capi/declare.hpp"

namespace rg {

namespace guarder {

RG_DEF(Method, _reload_flags, "_reload_flags(self)", "")
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

// Each helper calls the module function by name at the moment of use, so a host that replaces
// `_resolve_endpoint` on the module is followed; nothing is cached.
RG_DEF(StaticMethod, _machine_id, "_machine_id()", "")
Ref _machine_id() { return call_global(S("_resolve_machine_id")); }

RG_DEF(StaticMethod, _token_fields, "_token_fields()", "")
Ref _token_fields() { return call_global(S("_resolve_token_fields")); }

RG_DEF(StaticMethod, _app_version, "_app_version()", "")
Ref _app_version() { return call_global(S("_resolve_app_version")); }

RG_DEF(StaticMethod, _endpoint, "_endpoint()", "")
Ref _endpoint() { return call_global(S("_resolve_endpoint")); }

}  // namespace guarder

}  // namespace rg
