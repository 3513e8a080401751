// Character classes and native-width text access shared by the redaction scanners.
//
// The scanners reproduce what `re` does for str patterns: `\s` is Py_UNICODE_ISSPACE and a
// word character (for `\b`) is Py_UNICODE_ISALNUM or '_', the tables sre itself consults.
// Text is read in its own storage (1, 2 or 4 bytes per character), never converted.
#pragma once

#include "capi/py.hpp"

#include <cstdint>
#include <cstring>

namespace rg::logs {

// ---- character classes ---------------------------------------------------------------------

enum : uint8_t {
  kAlpha = 1 << 0,      // [A-Za-z]
  kDigit = 1 << 1,      // [0-9]
  kLocal = 1 << 2,      // [A-Za-z0-9._%+\-]   e-mail local part
  kDomain = 1 << 3,     // [A-Za-z0-9.\-]      e-mail domain
  kComponent = 1 << 4,  // [^\s'"<>|]          path component
  kWord = 1 << 5,       // \w
  kSep = 1 << 6,        // [/\\]
};

struct AsciiTable {
  uint8_t bits[128];
  constexpr AsciiTable() : bits() {
    for (int c = 0; c < 128; ++c) {
      uint8_t b = 0;
      const bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      const bool digit = c >= '0' && c <= '9';
      if (alpha) b |= kAlpha;
      if (digit) b |= kDigit;
      if (alpha || digit || c == '.' || c == '_' || c == '%' || c == '+' || c == '-') b |= kLocal;
      if (alpha || digit || c == '.' || c == '-') b |= kDomain;
      // ASCII whitespace as Py_UNICODE_ISSPACE sees it: \t \n \v \f \r, \x1c-\x1f and space.
      const bool space = (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
      if (!space && c != '\'' && c != '"' && c != '<' && c != '>' && c != '|') b |= kComponent;
      if (alpha || digit || c == '_') b |= kWord;
      if (c == '/' || c == '\\') b |= kSep;
      bits[c] = b;
    }
  }
};
inline constexpr AsciiTable kAscii{};

inline bool has(Py_UCS4 c, uint8_t cls) { return c < 128 && (kAscii.bits[c] & cls); }
inline bool is_alpha(Py_UCS4 c) { return has(c, kAlpha); }
inline bool is_alnum(Py_UCS4 c) { return has(c, kAlpha | kDigit); }
inline bool is_local(Py_UCS4 c) { return has(c, kLocal); }
inline bool is_domain(Py_UCS4 c) { return has(c, kDomain); }
inline bool is_sep(Py_UCS4 c) { return has(c, kSep); }

inline bool is_component(Py_UCS4 c) {
  return c < 128 ? (kAscii.bits[c] & kComponent) != 0 : !Py_UNICODE_ISSPACE(c);
}
inline bool is_word(Py_UCS4 c) {
  return c < 128 ? (kAscii.bits[c] & kWord) != 0 : Py_UNICODE_ISALNUM(c) != 0;
}

// `\b` at position i of s[0..n), as sre computes it for str patterns.
template <class Ch>
bool at_boundary(const Ch* s, Py_ssize_t n, Py_ssize_t i) {
  const bool before = i > 0 && is_word(s[i - 1]);
  const bool after = i < n && is_word(s[i]);
  return before != after;
}

// First index of c in s[from..n), or n. Every match contains a character the scanners can
// anchor on ('/', '\\', '@', '-'); for 1-byte text the search is memchr.
template <class Ch>
Py_ssize_t find_char(const Ch* s, Py_ssize_t from, Py_ssize_t n, Ch c) {
  if (from >= n) return n;
  if constexpr (sizeof(Ch) == 1) {
    const void* hit = std::memchr(s + from, c, static_cast<size_t>(n - from));
    return hit ? static_cast<const Ch*>(hit) - s : n;
  } else {
    while (from < n && s[from] != c) ++from;
    return from;
  }
}

// ---- match spans -----------------------------------------------------------------------------

struct Span {
  Py_ssize_t start, end;
};

// A growable list of non-overlapping spans in increasing order. Memory comes from PyMem, so
// running out is a MemoryError, not an abort.
class SpanList {
 public:
  SpanList() = default;
  SpanList(const SpanList&) = delete;
  SpanList& operator=(const SpanList&) = delete;
  ~SpanList() { PyMem_Free(items_); }

  // False with MemoryError set when the list cannot grow.
  bool add(Py_ssize_t start, Py_ssize_t end) {
    if (size_ == cap_) {
      const Py_ssize_t cap = cap_ ? cap_ * 2 : 16;
      void* grown = PyMem_Realloc(items_, static_cast<size_t>(cap) * sizeof(Span));
      if (!grown) {
        PyErr_NoMemory();
        return false;
      }
      items_ = static_cast<Span*>(grown);
      cap_ = cap;
    }
    items_[size_++] = Span{start, end};
    return true;
  }
  void clear() { size_ = 0; }
  Py_ssize_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Span* begin() const { return items_; }
  const Span* end() const { return items_ + size_; }

 private:
  Span* items_ = nullptr;
  Py_ssize_t size_ = 0, cap_ = 0;
};

// Calls f(const Ch* data, Py_ssize_t length) with the str's own storage type.
template <class F>
decltype(auto) with_text(PyObject* u, F&& f) {
  const void* data = PyUnicode_DATA(u);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(u);
  switch (PyUnicode_KIND(u)) {
    case PyUnicode_1BYTE_KIND:
      return f(static_cast<const Py_UCS1*>(data), n);
    case PyUnicode_2BYTE_KIND:
      return f(static_cast<const Py_UCS2*>(data), n);
    default:
      return f(static_cast<const Py_UCS4*>(data), n);
  }
}

}  // namespace rg::logs
