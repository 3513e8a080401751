// The usage payload and its request, shared by `_post_usage` and the component's flush.
#pragma once

#include "capi/py.hpp"
#include "upload/exchange.hpp"

namespace rg {

// The usage payload, keys in wire order. The caller has resolved the identity fields (in
// payload order); "os" and "tz" are computed here, after them.
Ref build_usage_body(PyObject* machine_id, PyObject* token_id, PyObject* plan,
                     PyObject* app_version, PyObject* sessions);

// The two steps of one upload, for a caller that looks at the envelope between them. `requests`
// and the encryption are imported by open(), at the moment of use.
struct UsageSender {
  Ref requests, encrypt_payload;
  int open();  // -1 with the import's error set
  // The host's envelope of `body`, its text made sendable first (wire_text.hpp).
  Ref seal(PyObject* body, PyObject* api_key) const;
  // The POST of a sealed envelope (see exchange); (status_code, body bytes or None).
  Ref post(PyObject* url, PyObject* api_key, PyObject* envelope, PyObject* timeout, bool read_body,
           Wait wait) const;
};

// Seals `body` and POSTs it: UsageSender's two steps in one.
Ref send_usage(PyObject* url, PyObject* api_key, PyObject* body, PyObject* timeout,
               bool read_body, Wait wait);

}  // namespace rg
