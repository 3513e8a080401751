// `_post_usage`: the one-shot encrypted upload used by open reports.
//
// The checks run cheapest first and a failed one returns before any later resolver runs, so a
// disabled install or an empty list costs no host lookup. Resolvers are called through the
// module namespace, so a host may replace any of them.
#include "capi/module_scope.hpp"
#include "capi/values.hpp"
#include "capi/declare.hpp"
#include "upload/usage.hpp"

namespace rg {

namespace {

Ref skipped() { return steal(PyTuple_Pack(2, Py_None, Py_None)); }

// The one-time skip warning: the flag lives in the module dict so a host can reset it.
int warn_once(PyObject* flag, const char* message) {
  int warned = global_truth(flag);
  if (warned < 0) return -1;
  if (warned) return 0;
  if (set_global(flag, Py_True) < 0) return -1;
  return log_at(S("warning"), message) ? 0 : -1;
}

// A reply body counts only when it is a JSON object; anything else, or no body, is None.
Ref decoded_object(PyObject* body) {
  if (body == Py_None) return none();
  RG_LET(json, G("json"));
  Ref decoded = call_method(json, S("loads"), body);
  if (!decoded) return catch_ordinary() ? none() : Ref();
  return PyDict_Check(decoded.get()) ? std::move(decoded) : none();
}

// Step 7: encrypt, POST, read the reply. Ordinary exceptions are the caller's to handle.
// Open reports run on their own daemon threads, so the request keeps the client's
// per-operation timeout and needs no worker of its own.
Ref upload(PyObject* url, PyObject* api_key, PyObject* body, PyObject* timeout) {
  RG_LET(reply, send_usage(url, api_key, body, timeout, true, Wait::PerOperation));
  PyObject* status = PyTuple_GET_ITEM(reply.get(), 0);
  RG_LET(data, decoded_object(PyTuple_GET_ITEM(reply.get(), 1)));
  RG_LET(ok, integer(200));
  int other = PyObject_RichCompareBool(status, ok.get(), Py_NE);
  if (other < 0) return {};
  if (other) RG_CHECK(log_at(S("debug"), "runtime_guard: usage POST HTTP %s body=%s", status, data));
  return steal(PyTuple_Pack(2, status, data.get()));
}

}  // namespace

RG_DEF(Function, 16, _post_usage, "_post_usage(sessions, *, timeout, allow_empty=False)",
       "POST an encrypted usage payload.\n"
       "\n"
       "Returns ``(status_code, json_body)`` or ``(None, None)`` when skipped / failed.")
Ref _post_usage(PyObject* sessions, PyObject* timeout, PyObject* allow_empty) {
  RG_LET(on, call_global(S("_telemetry_on")));
  RG_TRUTH(enabled, on.get());
  if (!enabled) return skipped();

  RG_TRUTH(has_sessions, sessions);
  if (!has_sessions) {
    RG_TRUTH(allowed, allow_empty);
    if (!allowed) return skipped();
  }

  Ref url, api_key;
  {
    RG_LET(pair, call_global(S("_resolve_endpoint")));
    RG_CHECK_OK(unpack_pair(pair.get(), url, api_key));
  }
  RG_TRUTH(has_url, url.get());
  int has_key = has_url ? PyObject_IsTrue(api_key.get()) : 0;
  if (has_key < 0) return {};
  if (!has_url || !has_key) {
    if (warn_once(S("_skip_endpoint_warned"),
                  "runtime_guard: usage POST skipped \u2014 validation URL or "
                  "ORLUNE_SERVER_API_KEY / pinned server key is not configured.") < 0)
      return {};
    return skipped();
  }

  RG_LET(machine_id, call_global(S("_resolve_machine_id")));
  RG_TRUTH(has_machine, machine_id.get());
  if (!has_machine) {
    if (warn_once(S("_skip_machine_warned"),
                  "runtime_guard: usage POST skipped \u2014 machine_id unavailable.") < 0)
      return {};
    return skipped();
  }

  Ref token_id, plan;
  {
    RG_LET(pair, call_global(S("_resolve_token_fields")));
    RG_CHECK_OK(unpack_pair(pair.get(), token_id, plan));
  }
  RG_LET(app_version, call_global(S("_resolve_app_version")));
  RG_LET(body, build_usage_body(machine_id.get(), token_id.get(), plan.get(), app_version.get(),
                                  sessions));

  Ref result = upload(url.get(), api_key.get(), body.get(), timeout);
  if (result) return result;
  Ref exc = catch_ordinary();
  if (!exc) return {};  // KeyboardInterrupt, SystemExit: never swallowed
  if (!log_exc_at(S("debug"), "Lightweight usage POST failed", exc.get())) return {};
  return skipped();
}

}  // namespace rg
