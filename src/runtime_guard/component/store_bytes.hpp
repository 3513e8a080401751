// The store's bytes as pieces of its lines (a newline after each): written without a joined copy
// of the whole store, and compared with the file without reading the file into one. A full store
// is megabytes; a fresh buffer of that size costs the host more in page faults than the copy.
#pragma once

#include "component/fallible.hpp"
#include "platform/file_ops.hpp"
#include "capi/py.hpp"

namespace rg {

// The pieces of a list of str lines; they point into the lines, which must stay alive (and the
// list unchanged) while the pieces are used. -1 with an error set (TypeError for a line that is
// no str, as joining them would say).
int store_pieces(PyObject* lines, FallibleVector<platform::Piece>& pieces);

// Whether the file `path` (a str path, already encoded) holds exactly the bytes of the pieces:
// read in small steps with the GIL released. Any failure to read counts as a difference; the
// caller then reads the file as before. -1 only when the step buffer cannot be had.
int file_holds(const char* path, const FallibleVector<platform::Piece>& pieces);

}  // namespace rg
