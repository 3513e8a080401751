#include "upload/usage.hpp"

#include "capi/module_scope.hpp"
#include "capi/values.hpp"

namespace rg {

namespace {

// {"v": 1, "alg": "AES-256-GCM", "nonce": "<16 base64 digits>", "ct": ""}, as json.dumps writes
// it (the HTTP client's separators), and the GCM tag that follows the ciphertext.
constexpr Py_ssize_t kEnvelopeFrame = 69;
constexpr Py_ssize_t kTagBytes = 16;

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

// The UTF-8 length of the text json.dumps returned.
Py_ssize_t text_bytes(Ref dumped) {
  Str text = Str::of(std::move(dumped));
  Py_ssize_t size = 0;
  return text && PyUnicode_AsUTF8AndSize(text.get(), &size) ? size : -1;
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

Tuple send_usage(PyObject* url, PyObject* api_key, PyObject* body, PyObject* timeout,
                 bool read_body, Wait wait) {
  UsageSender sender;
  RG_CHECK_OK(sender.open());
  RG_LET(envelope, sender.seal(body, api_key));
  return sender.post(url, api_key, envelope.get(), timeout, read_body, wait);
}

Py_ssize_t json_bytes(PyObject* value) {
  RG_LET(json, global(S("json")));
  RG_LET(dumps, attr(json, S("dumps")));
  RG_LET(separators, steal(Py_BuildValue("(ss)", ",", ":")));
  return text_bytes(call_kw(dumps, {value}, {{S("separators"), separators.get()}}));
}

Py_ssize_t envelope_bytes(Py_ssize_t plain) {
  return kEnvelopeFrame + 4 * ((plain + kTagBytes + 2) / 3);
}

Py_ssize_t body_bytes(PyObject* envelope) {
  RG_LET(json, global(S("json")));
  return text_bytes(call_method(json, S("dumps"), envelope));
}

}  // namespace rg
