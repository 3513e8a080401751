// One usage request on the wire: POST, never following a redirect, the reply streamed and read
// up to a cap, the connection closed. A host thread that waits for it runs it on a worker and
// waits with a deadline, because the client's timeout bounds each socket operation only and a
// server that trickles its reply would hold the host for good.
#pragma once

#include "capi/py.hpp"

namespace rg {

// Replies longer than this are not parsed: memory stays flat whatever the server sends.
inline constexpr Py_ssize_t kMaxReplyBytes = 1 << 20;

enum class Wait { PerOperation, Deadline };

// post(url, json=envelope, headers=headers, timeout=timeout, allow_redirects=False, stream=True)
// with `post` being requests.post. Returns (status_code, body): body is the reply's bytes when `read_body` and it
// fits the cap, else None. With Wait::Deadline the call runs on a daemon worker and gives up
// after timeout + 0.5 s of wall-clock time with TimeoutError (the worker is left to end alone).
Ref exchange(PyObject* post, PyObject* url, PyObject* envelope, PyObject* headers, PyObject* timeout,
             bool read_body, Wait wait);

}  // namespace rg
