// Merging the component's rows into the store as other processes may have changed it.
//
// The component remembers what it last read from or wrote to the store (`Synced`). At a write,
// under the store lock, it compares the file with that:
// - unchanged (the usual case, one process alone): the rows in memory are written as they are;
// - changed: rows this process created or changed since then carry its version, every other
//   row is kept as it is in the file, rows new to the file go at the end; the merged list
//   becomes the component's rows.
#pragma once

#include <string_view>

#include "component/store_rows.hpp"

namespace rg {

// Per row, as last read or written: its session key and its JSON line, in list order. The last
// _MAX_STORED of those lines are the rows the file held then, as its reader sees them (lines
// that hold no row are not part of it). Kept on the component as `_store_synced`.
struct Synced {
  Ref keys, lines;  // lists

  // The component's record, empty when it has none yet. -1 with an error set.
  int load(PyObject* self);
  int save(PyObject* self) const;
  // Whether `disk` (the rows' lines of the file now, each followed by "\n") are the rows this
  // record describes. -1 on error.
  int matches(std::string_view disk) const;
};

struct Merged {
  Ref rows, keys, lines;
};

// Merges `rows` (the component's rows, with their keys and lines) into the rows' lines of the
// store `disk`; `disk_rows` holds, line for line, the rows the reader already parsed (None for
// a line it recognised as synced).
// `current` is the key of this process's own session, kept even when the file lost it.
// The rows of `rows` that stay are updated in place, so references to them see the merge.
// -1 with an error set.
int merge_into_store(const JsonCodec& codec, const Synced& synced, PyObject* rows, PyObject* keys,
                     PyObject* lines, PyObject* current, std::string_view disk, PyObject* disk_rows,
                     Merged& out);

}  // namespace rg
