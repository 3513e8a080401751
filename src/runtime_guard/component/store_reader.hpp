// Reading the store from its end. The store keeps its last `_MAX_STORED` rows, so a reader
// needs only the lines that hold them: start-up time does not grow with a file that something
// else grew to a million rows. Lines end at LF, CR LF or a lone CR, and nowhere else (a row
// may hold a raw U+2028 or U+0085 in a string). A line longer than `_MAX_STORE_LINE_BYTES` is
// unreadable and skipped without being loaded; a byte-order mark before the first line (a
// store saved by a text editor) is not part of it; lines that start before the last
// `_MAX_STORE_BYTES` of the file are not read at all. All three bounds are read at use.
#pragma once

#include <string_view>

#include "capi/py.hpp"
#include "component/store_merge.hpp"

namespace rg {

// What the reader hands each line it reads, newest first.
class LineSink {
 public:
  // 1: the line holds a row (one more of the rows wanted), 0: it does not, -1: error set.
  virtual int take(std::string_view line) = 0;

 protected:
  ~LineSink() = default;
};

struct TailBounds {
  Py_ssize_t max_bytes = 0, max_line = 0, rows_wanted = 0;  // rows_wanted 0: no such stop
  int load();  // -1 with an error set
};

// Reads the store at `path` from its end into `sink` until it has the rows wanted; natively,
// the GIL released around each read. OSError as opening or reading fails. `cut` says whether
// lines before the byte bound were left unread while rows were still wanted.
int read_store_tail(PyObject* path, const TailBounds& bounds, LineSink& sink, bool& cut);
// The same over the bytes of a store already read (through a host path's own read_bytes).
int read_bytes_tail(PyObject* data, const TailBounds& bounds, LineSink& sink, bool& cut);

// Collects what a load keeps: the rows, their keys and their stripped lines, in file order.
class LoadedRows final : public LineSink {
 public:
  explicit LoadedRows(const JsonCodec& codec) : codec_(codec) {}
  int open();
  int take(std::string_view line) override;
  // Puts the rows into `rows` and their keys and lines into `synced`, oldest first.
  int finish(PyObject* rows, Synced& synced);

 private:
  const JsonCodec& codec_;
  Ref rows_, keys_, lines_;  // newest first
};

// The rows' lines of the store's tail, stripped, each followed by "\n" (bytes): what a write
// compares with what it last synced and merges with. A line among `known` (str lines this
// component synced) is a row without being parsed again. `rows` gets, line for line, the rows
// parsed on the way (None for a known line), so that a merge parses nothing twice.
Ref read_disk_rows(PyObject* path, const TailBounds& bounds, const JsonCodec& codec, PyObject* known,
                   bool& cut, Ref& rows);

}  // namespace rg
