// The store's own lines, read and written without the json module: compact, ASCII-only JSON
// objects of text, integer, boolean and null values. A native line is byte for byte what
// json.dumps(row, separators=(",", ":")) writes, a native row object for object what json.loads
// reads; whatever lies outside that subset (or where the two could differ) is kFallback, and the
// caller hands it to the module's late-bound json exactly as Python code would.
#pragma once

#include <string_view>

#include "capi/py.hpp"

namespace rg::store_lines {

enum class Coded { kDone, kFallback, kError };

// kYes when `json` is the interpreter's own json module with its own dumps, loads, encoder class
// and default decoder, so that a native line or row is what it would give; kNo when a host
// replaced any of them.
Answer json_is_standard(PyObject* json);

// Appends the compact line of `row` to `out`. kFallback (nothing appended, no error set) when the
// row is not an exact dict of exact-str keys and exact str, int, bool or None values, or an
// integer is beyond the interpreter's limit for int-to-str conversion.
Coded encode_row(PyObject* row, Buffer<char>& out);

// The line of `row` as a str, or kFallback / kError as encode_row says. When `known` (a str or
// null) holds exactly that line, the line is `known` itself: no copy of it is made.
Coded encode_line(PyObject* row, Buffer<char>& scratch, Ref& line, PyObject* known = nullptr);

// `text` parsed as json.loads parses it, when it is one object of the subset (any byte outside
// ASCII, a float, a nested value, an over-long integer or a malformed line is kFallback; then
// nothing is set). The row is a new dict. `scratch` holds escaped ASCII text on its way.
Coded decode_line(std::string_view text, Ref& row, Buffer<char>& scratch);

}  // namespace rg::store_lines
