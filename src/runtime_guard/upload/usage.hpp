// The usage payload and its request, shared by `_post_usage` and the component's flush.
#pragma once

#include "capi/guard.hpp"

namespace rg {
// The usage payload, keys in wire order; "os" and "tz" are computed here, after the others.
Ref build_usage_body(PyObject* machine_id, PyObject* token_id, PyObject* plan,
                     PyObject* app_version, PyObject* sessions);

// Deadline: on a daemon worker, given up after timeout + 0.5 s with TimeoutError (a trickling
// server defeats the per-operation timeout).
enum class Wait { PerOperation, Deadline };

// An upload in two steps, so that a caller can look at the envelope between them.
struct UsageSender {
  Ref requests, encrypt_payload;
  int open();  // imports both at the moment of use
  Ref seal(PyObject* body, PyObject* api_key) const;
  // requests.post(url, json=envelope, ..., allow_redirects=False, stream=True), the connection
  // closed: (status_code, the reply's bytes, or None past the cap or unless `read_body`).
  Tuple post(PyObject* url, PyObject* api_key, PyObject* envelope, PyObject* timeout,
             bool read_body, Wait wait) const;
};

// Sizes, so a batch is fitted to a server's limit without sealing again (-1 on error): of
// json.dumps(value, separators=(",", ":")), of the body for `plain` such bytes, and of the body
// the HTTP client makes of `envelope` (a host's envelope may grow differently).
Py_ssize_t json_bytes(PyObject* value);
Py_ssize_t envelope_bytes(Py_ssize_t plain);
Py_ssize_t body_bytes(PyObject* envelope);
}  // namespace rg
