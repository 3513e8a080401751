// Uploads a server will take. Front ends commonly refuse request bodies over 1 MiB, and an
// application that was offline for a few sessions with full logs would then never deliver
// again. So one upload's body stays within `_MAX_UPLOAD_BYTES` (read at use): when every
// pending row fits, the upload is all of them in store order; when they do not, a batch takes
// the row it is told to take first (this session's, at shutdown) and then the oldest rows
// that fit. A row too large for any upload is left out and kept, as a row that cannot be sent.
#pragma once

#include "capi/py.hpp"
#include "component/fallible.hpp"

namespace rg {

class UploadPlan {
 public:
  // Measures the payload without sessions (`body`, whose "sessions" is empty) and each of
  // `items`; `first` is the index to take first, or -1. -1 with an error set.
  int open(PyObject* body, PyObject* items, Py_ssize_t first);
  // Indices of the items too large for any upload, in store order.
  const FallibleVector<Py_ssize_t>& too_large() const { return too_large_; }
  // Chooses the next batch among the items not yet sent: their indices in store order (none
  // when nothing is left that fits).
  int choose(FallibleVector<Py_ssize_t>& batch);
  // The body sealed for `batch` came out at `measured` bytes: when that is over the bound,
  // later estimates grow in proportion and 0 is returned (choose again); 1 when it fits.
  int check(const FallibleVector<Py_ssize_t>& batch, Py_ssize_t measured);
  // The batch went out (or was refused): its items are not chosen again.
  void done(const FallibleVector<Py_ssize_t>& batch);
  bool anything_left() const;

 private:
  Py_ssize_t estimate(Py_ssize_t items_bytes, Py_ssize_t count) const;
  Py_ssize_t bound_ = 0, base_ = 0;
  double scale_ = 1.0;
  Py_ssize_t first_ = -1;
  FallibleVector<Py_ssize_t> sizes_, too_large_;
  FallibleVector<char> taken_;  // sent, or too large
};

// The items (and the rows they were made from) at `batch`'s indices.
Ref pick(PyObject* list, const FallibleVector<Py_ssize_t>& batch);

}  // namespace rg
