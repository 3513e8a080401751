// The usage payload and its request, shared by `_post_usage` and the component's flush.
#pragma once

#include "capi/py.hpp"

namespace rg {

// The usage payload, keys in wire order. The caller has resolved the identity fields (in
// payload order); "os" and "tz" are computed here, after them.
Ref build_usage_body(PyObject* machine_id, PyObject* token_id, PyObject* plan,
                     PyObject* app_version, PyObject* sessions);

// Deadline: the request runs on a daemon worker and the caller gives up after timeout + 0.5 s
// with TimeoutError, as a server that trickles its reply defeats the per-operation timeout.
enum class Wait { PerOperation, Deadline };

// An upload in two steps, so that a caller can look at the envelope between them.
struct UsageSender {
  Ref requests, encrypt_payload;
  int open();  // imports both at the moment of use
  // The host's envelope of `body`, its text made sendable first.
  Ref seal(PyObject* body, PyObject* api_key) const;
  // requests.post(url, json=envelope, ..., allow_redirects=False, stream=True), the connection
  // closed: (status_code, the reply's bytes, or None past the cap or unless `read_body`).
  Tuple post(PyObject* url, PyObject* api_key, PyObject* envelope, PyObject* timeout,
             bool read_body, Wait wait) const;
};

// The body's size follows from the payload's compact JSON length alone (base64 of AES-256-GCM
// over ASCII text), so a batch is fitted to a server's limit without sealing it again and
// again; the sealed body is then measured, for a host whose envelope grows differently.
// json_bytes: of json.dumps(value, separators=(",", ":")); body_bytes: of the body the HTTP
// client makes of `envelope`; both -1 on error. envelope_bytes: of the body for `plain` bytes.
Py_ssize_t json_bytes(PyObject* value);
Py_ssize_t envelope_bytes(Py_ssize_t plain);
Py_ssize_t body_bytes(PyObject* envelope);

}  // namespace rg
