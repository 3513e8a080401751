// The size of a usage request's body, known before it is sealed. The host's envelope is
// base64 of AES-256-GCM over the compact JSON of the payload (ASCII: non-ASCII text is written
// as escapes), so the body's size follows from the payload's JSON length alone: a batch can be
// fitted to a server's limit without encrypting it again and again. The sealed body is then
// measured; a host whose envelope grows differently is caught there.
#pragma once

#include "capi/py.hpp"

namespace rg {

// Bytes of json.dumps(value, separators=(",", ":")): the text the payload encryption seals.
// -1 on error.
Py_ssize_t json_bytes(PyObject* value);

// Bytes of the request body (the envelope as the HTTP client writes it) for a payload whose
// JSON text has `plain` bytes.
Py_ssize_t envelope_bytes(Py_ssize_t plain);

// Bytes of the request body the HTTP client makes of `envelope`. -1 on error.
Py_ssize_t body_bytes(PyObject* envelope);

}  // namespace rg
