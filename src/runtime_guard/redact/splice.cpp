// Builds the result of one replacement pass in a single allocation. The result must be in
// canonical storage (the narrowest kind for its characters): str equality compares kinds
// first, so a wider-than-needed result would compare unequal to what `re.sub` returns.
#include <cstring>

#include "redact/scanners.hpp"

namespace rg::redact {

namespace {

// Largest character kept outside the spans, stopping early once it reaches `enough` (the
// smallest value that keeps the source's own kind).
template <class Ch>
Py_UCS4 kept_max(const Ch* s, Py_ssize_t n, const Spans& spans) {
  constexpr Py_UCS4 enough = sizeof(Ch) == 1 ? 0x80 : sizeof(Ch) == 2 ? 0x100 : 0x10000;
  Py_UCS4 top = 0;
  Py_ssize_t from = 0;
  for (size_t k = 0; k <= spans.size() && top < enough; ++k) {
    const Py_ssize_t to = k < spans.size() ? spans[k].start : n;
    for (Py_ssize_t i = from; i < to && top < enough; ++i) top = s[i] > top ? s[i] : top;
    if (k < spans.size()) from = spans[k].end;
  }
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
void fill(const In* s, Py_ssize_t n, const Spans& spans, const char* marker, Out* d) {
  const Py_ssize_t mlen = static_cast<Py_ssize_t>(std::strlen(marker));
  Py_ssize_t from = 0;
  for (size_t k = 0; k < spans.size(); ++k) {
    copy_chars(s + from, spans[k].start - from, d);
    d += spans[k].start - from;
    for (Py_ssize_t c = 0; c < mlen; ++c) *d++ = static_cast<Out>(marker[c]);
    from = spans[k].end;
  }
  copy_chars(s + from, n - from, d);
}

}  // namespace

Str splice(const Str& text, const Spans& spans, const char* marker) {
  Py_ssize_t size = text.size();
  for (size_t k = 0; k < spans.size(); ++k)
    size += static_cast<Py_ssize_t>(std::strlen(marker)) - (spans[k].end - spans[k].start);
  Py_UCS4 top = 0x7F;  // the marker is ASCII
  if (!text.is_ascii()) {
    const Py_UCS4 kept =
        with_text(text, [&](auto* s, Py_ssize_t n) { return kept_max(s, n, spans); });
    top = kept > top ? kept : top;
  }
  Str out = Str::fresh(PyUnicode_New(size, top));
  if (!out) return out;
  with_text(text, [&](auto* s, Py_ssize_t n) {
    by_kind(out.kind(), out.writable(), [&](auto* d) { fill(s, n, spans, marker, d); });
  });
  return out;
}

}  // namespace rg::redact
