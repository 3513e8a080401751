// Builds the result of one replacement pass in a single allocation. The result must be in
// canonical storage (the narrowest kind for its characters): str equality compares kinds
// first, so a wider-than-needed result would compare unequal to what `re.sub` returns.
#include <cstring>

#include "logs/scanners.hpp"

namespace rg::logs {

namespace {

// Largest character kept outside the spans, stopping early once it reaches `enough` (the
// smallest value that keeps the source's own kind).
template <class Ch>
Py_UCS4 kept_max(const Ch* s, Py_ssize_t n, const SpanList& spans, Py_UCS4 enough) {
  Py_UCS4 top = 0;
  Py_ssize_t from = 0;
  auto segment = [&](Py_ssize_t a, Py_ssize_t b) {
    for (Py_ssize_t i = a; i < b; ++i) {
      if (s[i] > top) {
        top = s[i];
        if (top >= enough) return true;
      }
    }
    return false;
  };
  for (const Span& sp : spans) {
    if (segment(from, sp.start)) return top;
    from = sp.end;
  }
  segment(from, n);
  return top;
}

template <class In, class Out>
void copy_chars(const In* src, Py_ssize_t count, Out* dst) {
  if constexpr (sizeof(In) == sizeof(Out)) {
    std::memcpy(dst, src, static_cast<size_t>(count) * sizeof(Out));
  } else {
    for (Py_ssize_t i = 0; i < count; ++i) dst[i] = static_cast<Out>(src[i]);
  }
}

template <class In, class Out>
void fill(const In* s, Py_ssize_t n, const SpanList& spans, const char* marker, Py_ssize_t mlen,
          Out* d) {
  Py_ssize_t from = 0;
  for (const Span& sp : spans) {
    copy_chars(s + from, sp.start - from, d);
    d += sp.start - from;
    for (Py_ssize_t k = 0; k < mlen; ++k) *d++ = static_cast<Out>(marker[k]);
    from = sp.end;
  }
  copy_chars(s + from, n - from, d);
}

template <class In>
void fill_any(const In* s, Py_ssize_t n, const SpanList& spans, const char* marker,
              Py_ssize_t mlen, PyObject* out) {
  void* d = PyUnicode_DATA(out);
  switch (PyUnicode_KIND(out)) {
    case PyUnicode_1BYTE_KIND:
      fill(s, n, spans, marker, mlen, static_cast<Py_UCS1*>(d));
      break;
    case PyUnicode_2BYTE_KIND:
      fill(s, n, spans, marker, mlen, static_cast<Py_UCS2*>(d));
      break;
    default:
      fill(s, n, spans, marker, mlen, static_cast<Py_UCS4*>(d));
      break;
  }
}

}  // namespace

Ref splice(PyObject* text, const SpanList& spans, const char* marker) {
  const Py_ssize_t mlen = static_cast<Py_ssize_t>(std::strlen(marker));
  Py_ssize_t removed = 0;
  for (const Span& sp : spans) removed += sp.end - sp.start;
  const Py_ssize_t size = PyUnicode_GET_LENGTH(text) - removed + spans.size() * mlen;

  Py_UCS4 top = 0x7F;  // the marker is ASCII
  if (!PyUnicode_IS_ASCII(text)) {
    const int kind = PyUnicode_KIND(text);
    const Py_UCS4 enough = kind == PyUnicode_1BYTE_KIND   ? 0x80
                           : kind == PyUnicode_2BYTE_KIND ? 0x100
                                                          : 0x10000;
    const Py_UCS4 kept =
        with_text(text, [&](auto* s, Py_ssize_t n) { return kept_max(s, n, spans, enough); });
    if (kept > top) top = kept;
  }
  RG_LET(out, steal(PyUnicode_New(size, top)));
  with_text(text, [&](auto* s, Py_ssize_t n) { fill_any(s, n, spans, marker, mlen, out.get()); });
  return out;
}

}  // namespace rg::logs
