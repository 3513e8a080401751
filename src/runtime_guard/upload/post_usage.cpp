// `_post_usage`, the one-shot encrypted upload of open reports. The checks run cheapest first,
// so a disabled install or an empty list costs no host lookup; resolvers are called through
// the module namespace, so a host may replace any of them.
#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/call.hpp"
#include "upload/usage.hpp"

namespace rg {

namespace {

Ref skipped() { return steal(PyTuple_Pack(2, Py_None, Py_None)); }

// skipped(), after the one-time warning (its flag is in the module dict: a host may reset it).
Ref skipped_with_warning(PyObject* flag, const char* message) {
  RG_LET(warned, global(flag));
  RG_TRUTH(said, warned.get());
  if (!said) {
    RG_CHECK_OK(set_global(flag, Py_True));
    RG_CHECK(log_at(S("warning"), message));
  }
  return skipped();
}

// first, second = globals()[name]()
int resolve_pair(PyObject* name, Ref& first, Ref& second) {
  RG_LET(pair, call_global(name));
  return unpack_pair(pair.get(), first, second);
}

// A reply body counts only when it is a JSON object; anything else, or no body, is None.
Ref decoded_object(PyObject* body) {
  if (body == Py_None) return none();
  RG_LET(json, G("json"));
  Ref decoded = call_method(json, S("loads"), body);
  if (!decoded) return catch_ordinary() ? none() : failed;
  return PyDict_Check(decoded.get()) ? std::move(decoded) : none();
}

// Encrypt, POST, read the reply; ordinary exceptions are the caller's to handle. Open reports
// run on their own daemon threads, so the client's per-operation timeout is enough here.
Ref upload(PyObject* url, PyObject* api_key, PyObject* body, PyObject* timeout) {
  UsageSender sender;
  RG_CHECK_OK(sender.open());
  RG_LET(envelope, sender.seal(body, api_key));
  Tuple reply = sender.post(url, api_key, envelope.get(), timeout, true, Wait::PerOperation);
  if (!reply) return failed;
  PyObject* status = reply.at(0);
  RG_LET(data, decoded_object(reply.at(1)));
  RG_LET(ok, integer(200));
  const Answer other = answer(PyObject_RichCompareBool(status, ok.get(), Py_NE));
  if (other == Answer::kFailed) return failed;
  if (other == Answer::kYes)
    RG_CHECK(log_at(S("debug"), "runtime_guard: usage POST HTTP %s body=%s", status, data));
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
  RG_TRUTH(allowed, has_sessions ? Py_True : allow_empty);  // `sessions or allow_empty`
  if (!allowed) return skipped();

  Ref url, api_key;
  RG_CHECK_OK(resolve_pair(S("_resolve_endpoint"), url, api_key));
  RG_TRUTH(has_url, url.get());
  RG_TRUTH(has_key, has_url ? api_key.get() : Py_False);  // `url and api_key`
  if (!has_key)
    return skipped_with_warning(S("_skip_endpoint_warned"),
                                "runtime_guard: usage POST skipped \u2014 validation URL or "
                                "ORLUNE_SERVER_API_KEY / pinned server key is not configured.");

  RG_LET(machine_id, call_global(S("_resolve_machine_id")));
  RG_TRUTH(has_machine, machine_id.get());
  if (!has_machine)
    return skipped_with_warning(S("_skip_machine_warned"),
                                "runtime_guard: usage POST skipped \u2014 machine_id unavailable.");

  Ref token_id, plan;
  RG_CHECK_OK(resolve_pair(S("_resolve_token_fields"), token_id, plan));
  RG_LET(app_version, call_global(S("_resolve_app_version")));
  RG_LET(body, build_usage_body(machine_id.get(), token_id.get(), plan.get(), app_version.get(),
                                  sessions));

  Ref result = upload(url.get(), api_key.get(), body.get(), timeout);
  if (result) return result;
  Ref exc = catch_ordinary();
  if (!exc) return failed;  // KeyboardInterrupt, SystemExit: never swallowed
  RG_CHECK(log_exc_at(S("debug"), "Lightweight usage POST failed", exc.get()));
  return skipped();
}

}  // namespace rg
