// The component's side of the host bindings: the tracking flag read from the host settings,
// and the four static helpers the flush resolves its identity and endpoint through.
#include "module.hpp"
#include "registry.hpp"

namespace rg {

namespace {

PyObject* reload_flags(PyObject*, PyObject* self) {
  RG_LET(ctx, attr(self, S("app_context")));
  int has_ctx = PyObject_IsTrue(ctx.get());
  if (has_ctx < 0) return nullptr;
  if (!has_ctx) Py_RETURN_NONE;
  RG_LET(config, call_method(ctx, S("get_component"), S("config_manager")));
  if (config.get() == Py_None) Py_RETURN_NONE;
  // Errors from the settings propagate: the lifecycle decides what a broken setting means.
  RG_LET(value, call_method(config, S("get_value"), S("Telemetry"), S("enabled"), Py_True));
  int enabled = PyObject_IsTrue(value.get());
  if (enabled < 0) return nullptr;
  if (PyObject_SetAttr(self, S("_enabled"), enabled ? Py_True : Py_False) < 0) return nullptr;
  RG_LET(now, attr(self, S("_enabled")));
  int still = PyObject_IsTrue(now.get());
  if (still < 0) return nullptr;
  if (!still) RG_CHECK(log_at(S("info"), "Usage tracking disabled ([Telemetry] enabled=false)"));
  Py_RETURN_NONE;
}
RG_EXPORT(Method, "_reload_flags", reload_flags, METH_O, "_reload_flags(self)\n--\n\n");

// Each helper calls the module function by name at the moment of use, so a host that replaces
// `_resolve_endpoint` on the module is followed; nothing is cached.
PyObject* via_module(PyObject* name) {
  RG_LET(fn, global(name));
  return call(fn).release();
}

PyObject* machine_id(PyObject*, PyObject*) { return via_module(S("_resolve_machine_id")); }
RG_EXPORT(StaticMethod, "_machine_id", machine_id, METH_NOARGS, "_machine_id()\n--\n\n");

PyObject* token_fields(PyObject*, PyObject*) { return via_module(S("_resolve_token_fields")); }
RG_EXPORT(StaticMethod, "_token_fields", token_fields, METH_NOARGS, "_token_fields()\n--\n\n");

PyObject* app_version(PyObject*, PyObject*) { return via_module(S("_resolve_app_version")); }
RG_EXPORT(StaticMethod, "_app_version", app_version, METH_NOARGS, "_app_version()\n--\n\n");

PyObject* endpoint(PyObject*, PyObject*) { return via_module(S("_resolve_endpoint")); }
RG_EXPORT(StaticMethod, "_endpoint", endpoint, METH_NOARGS, "_endpoint()\n--\n\n");

}  // namespace

}  // namespace rg
