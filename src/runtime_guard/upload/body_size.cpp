#include "upload/body_size.hpp"

#include "capi/module_scope.hpp"

namespace rg {

namespace {

// {"v": 1, "alg": "AES-256-GCM", "nonce": "<16 base64 digits>", "ct": ""}, as json.dumps writes
// it (the HTTP client's separators), and the GCM tag that follows the ciphertext.
constexpr Py_ssize_t kEnvelopeFrame = 69;
constexpr Py_ssize_t kTagBytes = 16;

Py_ssize_t text_bytes(const Ref& text) {
  if (!text) return -1;
  if (!PyUnicode_Check(text.get())) {
    PyErr_SetString(PyExc_TypeError, "json.dumps did not return a str");
    return -1;
  }
  Py_ssize_t size = 0;
  return PyUnicode_AsUTF8AndSize(text.get(), &size) ? size : -1;
}

}  // namespace

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
