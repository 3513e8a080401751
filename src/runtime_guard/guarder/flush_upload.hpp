// One flush's uploads, once the endpoint is known. An item is made only from a pending row whose
// values fit it (text id and time stamps, a whole duration the server can hold, values JSON can
// carry): a row that does not is left out and kept, so one damaged row never turns the server
// against every row sent beside it. One upload's body stays within `_MAX_UPLOAD_BYTES` (read at
// use): front ends commonly refuse bodies over 1 MiB, and an application offline for a few
// sessions with full logs would then never deliver again. When every item fits, the upload is
// all of them in store order; else a batch takes this session's row first (at shutdown), then
// the oldest that fit. An item too large for any upload is left out and kept.
#pragma once

#include "capi/py.hpp"

namespace rg {

struct FlushUpload {
  PyObject *self, *url, *api_key, *token_id, *plan, *timeout;
  bool allow_empty;
};

// Sends what fits of `pending` (copies of the pending rows) and marks the rows the server
// accepted flushed; -1 with the error set.
int upload_pending(const FlushUpload& job, const List& pending);

// Whether this runs on the start-up flush's own thread, which nobody waits for: its flush
// waits per operation, not on the wall clock, and may send a large backlog in several uploads.
Answer on_background_flush_thread();

}  // namespace rg
