#include "upload/usage.hpp"

#include "capi/module_scope.hpp"

namespace rg {

namespace {

// value[:stop]
Ref head(PyObject* value, PyObject* stop) {
  RG_LET(slice, steal(PySlice_New(nullptr, stop, nullptr)));
  return steal(PyObject_GetItem(value, slice.get()));
}

// f"{platform.system()} {platform.release()}".strip()[:64]
Ref os_label() {
  RG_LET(platform, G("platform"));
  RG_LET(system, call_method(platform, S("system")));
  RG_LET(system_text, steal(PyObject_Format(system.get(), S(""))));
  RG_LET(release, call_method(platform, S("release")));
  RG_LET(release_text, steal(PyObject_Format(release.get(), S(""))));
  RG_LET(joined, steal(PyUnicode_FromFormat("%U %U", system_text.get(), release_text.get())));
  RG_LET(stripped, call_method(joined, S("strip")));
  RG_LET(stop, integer(64));
  return head(stripped.get(), stop.get());
}

}  // namespace

Ref build_usage_body(PyObject* machine_id, PyObject* token_id, PyObject* plan,
                     PyObject* app_version, PyObject* sessions) {
  RG_LET(os, os_label());
  RG_LET(tz_fn, G("_local_tz_offset"));
  RG_LET(tz, call(tz_fn));
  RG_LET(body, steal(PyDict_New()));
  struct Item {
    PyObject* key;
    PyObject* value;
  };
  for (Item item : {Item{S("machine_id"), machine_id}, Item{S("token_id"), token_id},
                    Item{S("plan"), plan}, Item{S("app_version"), app_version},
                    Item{S("os"), os.get()}, Item{S("tz"), tz.get()},
                    Item{S("sessions"), sessions}}) {
    if (PyDict_SetItem(body.get(), item.key, item.value) < 0) return {};
  }
  return body;
}

Ref send_usage(PyObject* url, PyObject* api_key, PyObject* body, PyObject* timeout,
               bool read_body, Wait wait) {
  RG_LET(requests, import("requests"));
  RG_LET(encrypt_payload, import_from("orlune.core.payload_crypto", S("encrypt_payload")));
  RG_LET(headers, steal(PyDict_New()));
  if (PyDict_SetItem(headers.get(), S("Content-Type"), S("application/json")) < 0 ||
      PyDict_SetItem(headers.get(), S("X-Server-Api-Key"), api_key) < 0)
    return {};
  RG_LET(envelope, call(encrypt_payload, body, api_key));
  RG_LET(post, attr(requests, S("post")));
  return exchange(post.get(), url, envelope.get(), headers.get(), timeout, read_body, wait);
}

}  // namespace rg
