// Python's protocols on values of any type: attribute lookup that may find nothing,
// mapping.get, tuple unpacking.
#pragma once

#include "capi/py.hpp"

namespace rg {

// getattr(obj, name) where a missing attribute is an answer, not an error (CPython's own
// convention): 1 with `out` set, 0 when only AttributeError was raised (cleared), -1 on any
// other error.
int optional_attr(PyObject* obj, PyObject* name, Ref& out);

// getattr(obj, name, fallback)
Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback);

// hasattr(obj, name): 1, 0, or -1 when the lookup raised anything but AttributeError.
inline int has_attr(PyObject* obj, PyObject* name) {
  Ref ignored;
  return optional_attr(obj, name, ignored);
}

// mapping.get(key), or mapping.get(key, fallback) when one is given: the method looked up as
// Python does; an exact dict is read directly, with the same result.
Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr);

// value[:stop], as Python slices it (any sliceable value; None raises TypeError).
Ref head(PyObject* value, long long stop);

// `a, b = value`, with Python's unpacking rules and errors.
int unpack_pair(PyObject* value, Ref& first, Ref& second);

}  // namespace rg
