#include "capi/declare.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace rg {
namespace {
// "RuntimeGuarder._flush" or "_flush", as before "()": a method's class is its __self__'s type.
struct Qualname {
  char text[128];
  Qualname(const Signature& sig, PyObject* owner) {
    const char* cls = owner && !PyModule_Check(owner) ? Py_TYPE(owner)->tp_name : nullptr;
    const char* dot = cls ? std::strrchr(cls, '.') : nullptr;
    if (dot) cls = dot + 1;
    std::snprintf(text, sizeof text, "%s%s%s", cls ? cls : "", cls ? "." : "", sig.name);
  }
};
// "f() takes from 0 to 1 positional arguments but 2 positional arguments (and 1 keyword-only
// argument) were given", as the interpreter words it.
int too_many_positional(const Signature& sig, const char* function, Py_ssize_t given,
                        PyObject* const* out) {
  Py_ssize_t kwonly_given = 0, defaults = 0;
  for (Py_ssize_t i = sig.positional; i < sig.count; ++i) kwonly_given += out[i] != nullptr;
  for (Py_ssize_t i = 0; i < sig.positional; ++i) defaults += !(sig.required >> i & 1u);
  char takes[64], kwonly[96] = "";  // "from 0 to 1", or "1" when every one is required
  std::snprintf(takes, sizeof takes, defaults ? "from %zd to %zd" : "%zd",
                sig.positional - defaults, sig.positional);
  if (kwonly_given)
    std::snprintf(kwonly, sizeof kwonly, " positional argument%s (and %zd keyword-only argument%s)",
                  given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : "");
  PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd%s %s given", function,
               takes, defaults || sig.positional != 1 ? "s" : "", given, kwonly,
               given == 1 && !kwonly_given ? "was" : "were");
  return -1;
}
// "f() missing 2 required positional arguments: 'a' and 'b'" for the required parameters in
// [from, to) left out; 0 when none is. Three or more are listed as "'a', 'b', and 'c'".
int missing_required(const Signature& sig, const char* function, Py_ssize_t from, Py_ssize_t to,
                     PyObject* const* out) {
  auto missing = [&](Py_ssize_t i) { return !out[i] && (sig.required >> i & 1u); };
  Py_ssize_t n = 0;
  for (Py_ssize_t i = from; i < to; ++i) n += missing(i);
  if (!n) return 0;
  char listed[1024] = "";
  size_t used = 0;
  for (Py_ssize_t i = from, k = 0; i < to; ++i) {
    if (!missing(i)) continue;
    const char* separator = k++ == 0 ? "" : n == 2 ? " and " : k == n ? ", and " : ", ";
    const int w = std::snprintf(listed + used, sizeof listed - used, "%s'%s'", separator,
                                sig.names[i]);
    used = std::min(sizeof listed - 1, used + static_cast<size_t>(w));
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required %s argument%s: %s", function, n,
               from ? "keyword-only" : "positional", n == 1 ? "" : "s", listed);
  return -1;
}
// From 3.13 the interpreter adds "Did you mean '<name>'?" to an unexpected keyword: the
// parameter nearest to it by its edit distance (a case flip costs 1, any other edit 2, on
// the UTF-8 bytes), if no more than a third of the characters involved would change.
constexpr size_t kMoveCost = 2, kCaseCost = 1, kMaxNameSize = 40;
size_t substitution_cost(char a, char b) {
  if (a == b) return 0;
  auto lower = [](char c) { return 'A' <= c && c <= 'Z' ? char(c + ('a' - 'A')) : c; };
  return lower(a) == lower(b) ? kCaseCost : kMoveCost;
}
// Early exits aside (they change no decision), as the interpreter computes it.
size_t edit_distance(const char* a, size_t a_size, const char* b, size_t b_size) {
  while (a_size && b_size && a[0] == b[0]) ++a, ++b, --a_size, --b_size;
  while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) --a_size, --b_size;
  if (!a_size || !b_size) return (a_size + b_size) * kMoveCost;
  if (a_size > kMaxNameSize || b_size > kMaxNameSize) return SIZE_MAX;
  size_t row[kMaxNameSize];  // one row of the matrix, updated in place
  for (size_t i = 0; i < a_size; ++i) row[i] = (i + 1) * kMoveCost;
  size_t result = 0;
  for (size_t j = 0; j < b_size; ++j) {
    size_t diagonal = result = j * kMoveCost;
    for (size_t i = 0; i < a_size; ++i) {
      const size_t substitute = diagonal + substitution_cost(b[j], a[i]);
      diagonal = row[i];
      result = row[i] = std::min(std::min(result, diagonal) + kMoveCost, substitute);
    }
  }
  return result;
}
// The parameter to suggest for `key`, or null; a key that has no UTF-8 form gets none.
const char* suggestion(const Signature& sig, PyObject* key) {
  Py_ssize_t key_size;
  const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
  if (!key_text) return PyErr_Clear(), nullptr;
  const char* best = nullptr;
  size_t best_distance = SIZE_MAX;
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    const size_t size = std::strlen(sig.names[i]);
    const size_t most = std::min((size_t(key_size) + size + 3) * kMoveCost / 6, best_distance - 1);
    const size_t d = edit_distance(key_text, size_t(key_size), sig.names[i], size);
    if (d <= most) best = sig.names[i], best_distance = d;
  }
  return best;
}
}  // namespace

int bind_arguments(const Signature& sig, PyObject* owner, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  const Py_ssize_t bound = std::min(nargs, sig.positional);
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < bound ? args[i] : nullptr;
  const Tuple names = Tuple::probe(kwnames);  // the interpreter's tuple of keywords, if any
  for (Py_ssize_t k = 0; names && k < names.size(); ++k) {
    PyObject* key = names.at(k);
    Py_ssize_t i = 0;
    while (i < sig.count && PyUnicode_CompareWithASCIIString(key, sig.names[i]) != 0) ++i;
    if (i == sig.count) {
      const char* near = Py_Version >= 0x030D0000 ? suggestion(sig, key) : nullptr;
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'%s%s%s",
                   Qualname(sig, owner).text, key, near ? ". Did you mean '" : "",
                   near ? near : "", near ? "'?" : "");
      return -1;
    }
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   Qualname(sig, owner).text, sig.names[i]);
      return -1;
    }
    out[i] = args[nargs + k];
  }
  if (nargs > sig.positional)
    return too_many_positional(sig, Qualname(sig, owner).text, nargs, out);
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    if (out[i] || !(sig.required >> i & 1u)) continue;
    const Qualname function(sig, owner);  // only on the way to an error
    RG_CHECK_OK(missing_required(sig, function.text, 0, sig.positional, out));
    return missing_required(sig, function.text, sig.positional, sig.count, out);
  }
  return 0;
}
}  // namespace rg
