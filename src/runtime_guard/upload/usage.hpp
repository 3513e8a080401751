// The usage payload and its request, shared by `_post_usage` and the component's flush.
#pragma once

#include "capi/py.hpp"

namespace rg {

// The usage payload, keys in wire order. The caller has resolved the identity fields (in
// payload order); "os" and "tz" are computed here, after them.
Ref build_usage_body(PyObject* machine_id, PyObject* token_id, PyObject* plan,
                     PyObject* app_version, PyObject* sessions);

// Replies longer than this are not parsed: memory stays flat whatever the server sends.
inline constexpr Py_ssize_t kMaxReplyBytes = 1 << 20;

// PerOperation: the client's own timeout, per socket operation. Deadline: the request runs on a
// daemon worker and the caller gives up after timeout + 0.5 s of wall-clock time with
// TimeoutError (the worker is left to end alone): a server that trickles its reply defeats
// the client's timeout, and a host thread must not wait for it without bound.
enum class Wait { PerOperation, Deadline };

// The two steps of one upload, for a caller that looks at the envelope between them. `requests`
// and the encryption are imported by open(), at the moment of use.
struct UsageSender {
  Ref requests, encrypt_payload;
  int open();  // -1 with the import's error set
  // The host's envelope of `body`, its text made sendable first (see wire_safe).
  Ref seal(PyObject* body, PyObject* api_key) const;
  // requests.post(url, json=envelope, headers=..., timeout=timeout, allow_redirects=False,
  // stream=True), the reply read up to the cap and the connection closed: (status_code, the
  // reply's bytes, or None when it is longer than the cap or `read_body` is false).
  Tuple post(PyObject* url, PyObject* api_key, PyObject* envelope, PyObject* timeout,
             bool read_body, Wait wait) const;
};

// Seals `body` and POSTs it: UsageSender's two steps in one.
Tuple send_usage(PyObject* url, PyObject* api_key, PyObject* body, PyObject* timeout,
                 bool read_body, Wait wait);

// A str can hold surrogate code points (a file name decoded with surrogateescape, say) that no
// UTF-8 text can carry: the server could not store such a session, and its row would hold back
// every upload after it. This is `value` with each of them, in its str values and keys (through
// dicts, lists and tuples), replaced by U+FFFD: `value` itself when it has none, else a copy of
// the containers on the way to them (a tuple becomes a list, as JSON has it).
Ref wire_safe(PyObject* value);

// The size of a usage request's body, known before it is sealed. The host's envelope is base64
// of AES-256-GCM over the compact JSON of the payload (ASCII: non-ASCII text is written as
// escapes), so the body's size follows from the payload's JSON length alone: a batch is fitted
// to a server's limit without sealing it again and again. The sealed body is then measured;
// a host whose envelope grows differently is caught there.
//
// Bytes of json.dumps(value, separators=(",", ":")), the text the encryption seals; -1 on error.
Py_ssize_t json_bytes(PyObject* value);
// Bytes of the body for a payload whose JSON text has `plain` bytes.
Py_ssize_t envelope_bytes(Py_ssize_t plain);
// Bytes of the body the HTTP client makes of `envelope`; -1 on error.
Py_ssize_t body_bytes(PyObject* envelope);

}  // namespace rg
