// The store's own lines without the json module: compact ASCII JSON objects of text, integer,
// boolean and null values, byte for byte what json.dumps(row, separators=(",", ":")) writes and
// object for object what json.loads reads. Anything outside that subset is kFallback, which the
// caller hands to the module's late-bound json as Python code would.
#pragma once

#include <string_view>

#include "capi/buffer.hpp"
#include "capi/guard.hpp"

namespace rg::store_lines {
enum class Coded { kDone, kFallback, kError };

// kYes when `json` is the interpreter's own, with its own dumps, loads, encoder class and
// default decoder; kNo when a host replaced any of them.
Answer json_is_standard(PyObject* json);

// The line of `row` (`known` itself when that is it); kFallback unless an exact dict of exact-str
// keys and exact str, int (within the int-to-str limit), bool or None values.
Coded encode_line(PyObject* row, Buffer<char>& scratch, Ref& line, PyObject* known = nullptr);

// `text` parsed as json.loads parses it into a new dict; kFallback, with nothing set, for a
// non-ASCII byte, a float, a nested value, an over-long integer or a malformed line.
Coded decode_line(std::string_view text, Ref& row, Buffer<char>& scratch);
}  // namespace rg::store_lines
