// Text as it may leave the machine. A str can hold surrogate code points (a file name decoded
// with surrogateescape, say) that no UTF-8 text can carry: the server could not store such a
// session, and its row would hold back every upload after it. They go out as U+FFFD.
#pragma once

#include "capi/py.hpp"

namespace rg {

// `value` with every surrogate code point in its str values and keys (through dicts, lists
// and tuples) replaced by U+FFFD: `value` itself when it has none, else a copy of the
// containers on the way to them (a tuple becomes a list, as JSON has it).
Ref wire_safe(PyObject* value);

}  // namespace rg
