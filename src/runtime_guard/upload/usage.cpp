#include "upload/usage.hpp"

#include "capi/module_scope.hpp"
#include "capi/values.hpp"
#include "upload/wire_text.hpp"

namespace rg {

namespace {

// f"{platform.system()} {platform.release()}".strip()[:64]
Ref os_label() {
  RG_LET(platform, G("platform"));
  RG_LET(system, call_method(platform, S("system")));
  RG_LET(system_text, steal(PyObject_Format(system.get(), S(""))));
  RG_LET(release, call_method(platform, S("release")));
  RG_LET(release_text, steal(PyObject_Format(release.get(), S(""))));
  RG_LET(joined, steal(PyUnicode_FromFormat("%U %U", system_text.get(), release_text.get())));
  RG_LET(stripped, call_method(joined, S("strip")));
  return head(stripped.get(), 64);
}

}  // namespace

Ref build_usage_body(PyObject* machine_id, PyObject* token_id, PyObject* plan,
                     PyObject* app_version, PyObject* sessions) {
  RG_LET(os, os_label());
  RG_LET(tz_fn, G("_local_tz_offset"));
  RG_LET(tz, call(tz_fn));
  return dict_of({{S("machine_id"), machine_id}, {S("token_id"), token_id}, {S("plan"), plan},
                  {S("app_version"), app_version}, {S("os"), os.get()}, {S("tz"), tz.get()},
                  {S("sessions"), sessions}});
}

int UsageSender::open() {
  RG_CHECK(requests = import("requests"));
  RG_CHECK(encrypt_payload = import_from("orlune.core.payload_crypto", S("encrypt_payload")));
  return 0;
}

Ref UsageSender::seal(PyObject* body, PyObject* api_key) const {
  RG_LET(sendable, wire_safe(body));
  return call(encrypt_payload, sendable, api_key);
}

Ref UsageSender::post(PyObject* url, PyObject* api_key, PyObject* envelope, PyObject* timeout,
                      bool read_body, Wait wait) const {
  RG_LET(headers, dict_of({{S("Content-Type"), S("application/json")}, {S("X-Server-Api-Key"), api_key}}));
  RG_LET(post, attr(requests, S("post")));
  return exchange(post.get(), url, envelope, headers.get(), timeout, read_body, wait);
}

Ref send_usage(PyObject* url, PyObject* api_key, PyObject* body, PyObject* timeout,
               bool read_body, Wait wait) {
  UsageSender sender;
  RG_CHECK_OK(sender.open());
  RG_LET(envelope, sender.seal(body, api_key));
  return sender.post(url, api_key, envelope.get(), timeout, read_body, wait);
}

}  // namespace rg
