// RuntimeGuarder, the host's ApplicationComponent subclass, its members in this folder.
#pragma once

#include "capi/py.hpp"

namespace rg {
// The class statement: the members in definition order, the class made by calling the base's
// metaclass, so whatever metaclass the host uses (ABCMeta, say) is the class's metaclass too.
Ref guarder_class(PyObject* module, const char* module_name);

struct FlushUpload {
  PyObject *self, *url, *api_key, *token_id, *plan, *timeout;
  bool allow_empty;
};
// Sends what fits of `pending` (row copies); marks flushed the rows the server accepted.
int upload_pending(const FlushUpload& job, const List& pending);
// Whether this runs on the start-up flush's own thread, which nobody waits for: its flush
// waits per operation, not on the wall clock, and may send a backlog in several uploads.
Answer on_background_flush_thread();
}  // namespace rg
