// Session rows as the store file holds them: one compact JSON text per line.
#pragma once

#include <string_view>

#include "capi/py.hpp"
#include "component/store_line_codec.hpp"

namespace rg {

// rows[-_MAX_STORED:], read late like Python code would.
Ref last_stored(PyObject* rows);

// json.dumps and json.loads, looked up once per store operation. Lines and rows of the store's
// own subset are written and read natively while json is the interpreter's own.
struct JsonCodec {
  Ref json, dumps, separators;
  bool native = false;
  mutable Buffer<char> scratch;
  // -1 with an error set
  int open();
  // json.dumps(row, separators=(",", ":")); `known` (a str or null), when it is that line.
  Ref line(PyObject* row, PyObject* known = nullptr) const;
  // json.loads(text)
  Ref loads(PyObject* text) const;
  // One stored line (str): the row, or null with no error set when the line is skipped. The
  // stripped text is put in `text` when given.
  Ref parse(PyObject* line, Ref* text = nullptr) const;
  // The same for a line's bytes as the file holds them (UTF-8; bytes that are not make the
  // line unreadable). An ASCII line of the native subset is read straight from its bytes.
  Ref parse(std::string_view line, Ref* text = nullptr) const;
};

// The UTF-8 text of a stored line (a str; no copy for the ASCII lines the store is made of).
// -1 on error.
int utf8_view(PyObject* line, std::string_view& out);

// A session id as a dict key: a str or None stands for itself; any other value (a hand-edited
// store) by a one-tuple of its repr, so even a list can be a key.
Ref id_key(PyObject* id);

// What rows are merged by: id_key of the row's "session_id" (None when missing). A row that is
// not a mapping has no id.
Ref session_key(PyObject* row);

// The truth of row.get(key); -1 on error.
int row_flag(PyObject* row, PyObject* key);

// A row without its "flushed" key: what a delivery vouches for.
Ref row_content(PyObject* row);

}  // namespace rg
