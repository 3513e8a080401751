// What one flush sends. An item is made only from a pending row whose values fit it (text id
// and time stamps, a whole duration the server can hold, values JSON can carry): a row that does
// not is left out and kept as it is, so one damaged row never turns the server against every
// row sent beside it. One upload's body stays within `_MAX_UPLOAD_BYTES` (read at use): front
// ends commonly refuse bodies over 1 MiB, and an application offline for a few sessions with
// full logs would then never deliver again. When every item fits, the upload is all of them in
// store order; else a batch takes the item it is told to take first (this session's row, at
// shutdown), then the oldest that fit. An item too large for any upload is left out and kept.
#pragma once

#include "capi/buffer.hpp"
#include "capi/py.hpp"

namespace rg {

// The item, or empty with no error set when the row does not fit; `field` then names the first
// value that does not. Ordinary exceptions from building a value count as not fitting; others
// pass (empty with the error set).
Ref session_item(PyObject* row, const char*& field);

using Batch = Buffer<Py_ssize_t>;  // indices of items, in store order

class UploadPlan {
 public:
  // Measures the payload without sessions (`body`) and each item; `first` is the index to take
  // first, or -1. -1 with an error set.
  int open(PyObject* body, const List& items, Py_ssize_t first);
  const Batch& too_large() const { return too_large_; }
  // The next batch among the items not yet sent (empty when nothing left fits); -1 on error.
  int choose(Batch& batch);
  // Whether the body sealed for `batch`, `measured` bytes, is within the bound; when it is not,
  // later estimates grow in proportion (choose again).
  bool fits(const Batch& batch, Py_ssize_t measured);
  // The batch went out (or was refused): its items are not chosen again.
  void done(const Batch& batch);
  bool anything_left() const;

 private:
  Py_ssize_t estimate(Py_ssize_t items_bytes, Py_ssize_t count) const;
  Py_ssize_t bound_ = 0, base_ = 0, first_ = -1;
  double scale_ = 1.0;
  Batch sizes_, too_large_;  // a size of -1: sent, or too large
};

// The items of `list` at `batch`'s indices.
List pick(const List& list, const Batch& batch);

}  // namespace rg
