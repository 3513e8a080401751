// The session item the flush sends for one pending row. An item is made only from a row whose
// values fit it (text id and time stamps, a whole duration the server can hold, values JSON can
// carry): a row that does not is left out of the upload and kept as it is, so one hand-edited
// or damaged row never turns the server against every row sent beside it.
#pragma once

#include "capi/py.hpp"

namespace rg {

// The item, or null with no error set when the row does not fit; `field` then names the first
// value that does not. Ordinary exceptions from building a value count as not fitting; others
// pass (null with the error set).
Ref session_item(PyObject* row, const char*& field);

}  // namespace rg
