// The store's own lines, read and written without the json module: compact, ASCII-only JSON
// objects of text, integer, boolean and null values. A native line is byte for byte what
// json.dumps(row, separators=(",", ":")) writes, a native row object for object what json.loads
// reads; whatever lies outside that subset (or where the two could differ) is reported as
// kFallback, and the caller hands it to the module's late-bound json exactly as Python code would.
#pragma once

#include <cstddef>
#include <string_view>

#include "capi/py.hpp"

namespace rg::store_lines {

enum class Coded { kDone, kFallback, kError };

// A growing byte buffer on the Python heap (a failed growth is a MemoryError, never an abort).
class LineBuffer {
 public:
  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer() { PyMem_Free(data_); }

  // Room for `more` bytes after the end: the pointer to write them at, or null (MemoryError).
  char* room(std::size_t more);
  // Marks `n` bytes written at room()'s pointer as part of the buffer.
  void grow(std::size_t n) { size_ += n; }
  void truncate(std::size_t n) { size_ = n; }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0, capacity_ = 0;
};

// 1 when `json` is the interpreter's own json module with its own dumps, loads, encoder class and
// default decoder, so that a native line or row is what it would give; 0 when a host replaced
// any of them; -1 on error.
int json_is_standard(PyObject* json);

// Appends the compact line of `row` to `out`. kFallback (nothing appended, no error set) when the
// row is not an exact dict of exact-str keys and exact str, int, bool or None values, or an
// integer is beyond the interpreter's limit for int-to-str conversion.
Coded encode_row(PyObject* row, LineBuffer& out);

// The line of `row` as a str, or kFallback / kError as encode_row says. When `known` (a str or
// null) holds exactly that line, the line is `known` itself: no copy of it is made.
Coded encode_line(PyObject* row, LineBuffer& scratch, Ref& line, PyObject* known = nullptr);

// `text` parsed as json.loads parses it, when it is one object of the subset (any byte outside
// ASCII, a float, a nested value, an over-long integer or a malformed line is kFallback; then
// nothing is set). The row is a new dict. `scratch` holds escaped ASCII text on its way.
Coded decode_line(std::string_view text, Ref& row, LineBuffer& scratch);

}  // namespace rg::store_lines
