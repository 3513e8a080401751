// The usage payload and its request, shared by `_post_usage` and the component's flush.
#pragma once

#include "capi/py.hpp"
#include "upload/exchange.hpp"

namespace rg {

// The usage payload, keys in wire order. The caller has resolved the identity fields (in
// payload order); "os" and "tz" are computed here, after them.
Ref build_usage_body(PyObject* machine_id, PyObject* token_id, PyObject* plan,
                     PyObject* app_version, PyObject* sessions);

// Encrypts `body` with the host's payload encryption and POSTs the envelope (see exchange);
// returns (status_code, body bytes or None). `requests` and the encryption are imported
// here, at the moment of use.
Ref send_usage(PyObject* url, PyObject* api_key, PyObject* body, PyObject* timeout,
               bool read_body, Wait wait);

}  // namespace rg
