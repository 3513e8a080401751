// The usage payload, made sendable, sealed and measured.
#include "capi/buffer.hpp"
#include "capi/module_scope.hpp"
#include "capi/values.hpp"
#include "upload/usage.hpp"

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

// Text as it may leave the machine. A str can hold surrogate code points (a file name decoded
// with surrogateescape, say) that no UTF-8 text carries: the server could not store such a
// session, and its row would hold back every upload after it. They go out as U+FFFD, in str
// values and keys through dicts, lists and tuples. Nothing is copied when none is found, else
// the containers on the way to them (a tuple becomes a list, as JSON has it).
constexpr Py_UCS4 kReplacement = 0xFFFD;

bool is_surrogate(Py_UCS4 c) { return c >= 0xD800 && c <= 0xDFFF; }

Ref text_safe(Str text, bool& changed) {
  const Py_ssize_t n = text.size();
  Py_ssize_t first = text.kind() == PyUnicode_1BYTE_KIND ? n : 0;  // one byte holds none
  while (first < n && !is_surrogate(text.at(first))) ++first;
  if (first == n) return text;
  changed = true;
  Buffer<Py_UCS4> out;
  Py_UCS4* d = out.room(static_cast<size_t>(n));
  if (!d) return failed;
  for (Py_ssize_t i = 0; i < n; ++i) d[i] = is_surrogate(text.at(i)) ? kReplacement : text.at(i);
  return steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, d, n));
}

Ref value_safe(PyObject* value, bool& changed);

// The dict with its keys and values made safe: the same dict when none changed, else a copy.
Ref dict_safe(PyObject* dict, bool& changed) {
  List items = List::fresh(PyDict_Items(dict));  // a snapshot: no host code runs while we walk it
  RG_CHECK(items);
  RG_LET(out, steal(PyDict_New()));
  bool any = false;
  for (Py_ssize_t i = 0; i < items.size(); ++i) {
    Tuple pair = Tuple::borrowed(items.at(i));
    RG_CHECK(pair);
    RG_LET(key, value_safe(pair.at(0), any));
    RG_LET(item, value_safe(pair.at(1), any));
    RG_CHECK_OK(PyDict_SetItem(out.get(), key.get(), item.get()));
  }
  if (!any) return borrow(dict);
  changed = true;
  return out;
}

Ref sequence_safe(PyObject* seq, bool& changed) {
  List items = List::fresh(PySequence_List(seq));
  RG_CHECK(items);
  bool any = false;
  for (Py_ssize_t i = 0; i < items.size(); ++i) {
    RG_LET(item, value_safe(items.at(i), any));
    RG_CHECK_OK(PyList_SetItem(items.get(), i, item.release()));
  }
  if (!any) return borrow(seq);
  changed = true;
  return items;
}

Ref value_safe(PyObject* value, bool& changed) {
  if (Str text = Str::probe(value)) return text_safe(std::move(text), changed);
  if (!PyDict_Check(value) && !PyList_Check(value) && !PyTuple_Check(value)) return borrow(value);
  if (Py_EnterRecursiveCall(" while making usage text sendable")) return failed;
  Ref out = PyDict_Check(value) ? dict_safe(value, changed) : sequence_safe(value, changed);
  Py_LeaveRecursiveCall();
  return out;
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
  bool changed = false;
  RG_LET(sendable, value_safe(body, changed));
  return call(encrypt_payload, sendable, api_key);
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
