// The redaction scanners: the matches `re.sub` with each pattern replaces, in one linear pass
// (the backtracking outcome depends only on maximal runs of the character classes). As sre for
// str patterns: `\s` is Py_UNICODE_ISSPACE, a word character Py_UNICODE_ISALNUM or '_'. Text
// is read in its own storage (1, 2 or 4 bytes per character), never converted.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "capi/buffer.hpp"
#include "capi/guard.hpp"

namespace rg::redact {
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
      const bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      const bool alnum = alpha || (c >= '0' && c <= '9');
      // ASCII whitespace as Py_UNICODE_ISSPACE sees it: \t \n \v \f \r, \x1c-\x1f and space.
      const bool space = (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
      auto in = [c](std::string_view set) { return set.find(static_cast<char>(c)) != set.npos; };
      bits[c] = static_cast<uint8_t>((alpha ? kAlpha : 0) | (alnum && !alpha ? kDigit : 0) |
                                     (alnum || in("._%+-") ? kLocal : 0) |
                                     (alnum || in(".-") ? kDomain : 0) |
                                     (space || in("'\"<>|") ? 0 : kComponent) |
                                     (alnum || c == '_' ? kWord : 0) | (in("/\\") ? kSep : 0));
    }
  }
};
// A struct, not a lambda-made std::array: with the latter GCC compiled the scan loops slower.
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
  return (i > 0 && is_word(s[i - 1])) != (i < n && is_word(s[i]));
}

// First index of c in s[from..n), or n: the scanners' anchor ('/', '\\', '@', '-') search.
template <class Ch>
Py_ssize_t find_char(const Ch* s, Py_ssize_t from, Py_ssize_t n, Ch c) {
  if (from >= n) return n;
  if constexpr (sizeof(Ch) == 1) {
    const void* hit = std::memchr(s + from, c, static_cast<size_t>(n - from));
    return hit ? static_cast<const Ch*>(hit) - s : n;
  }
  while (from < n && s[from] != c) ++from;
  return from;
}

// Matches, non-overlapping and in increasing order.
struct Span { Py_ssize_t start, end; };
using Spans = Buffer<Span>;

// Calls f(const Ch* chars, Py_ssize_t length) with the str's own storage type.
template <class F>
decltype(auto) with_text(const Str& text, F&& f) {
  const void* data = text.data();
  const Py_ssize_t n = text.size();
  switch (text.kind()) {  // this layout, 1-byte text first, measured fastest for the scanners
    case PyUnicode_1BYTE_KIND: [[likely]] return f(static_cast<const Py_UCS1*>(data), n);
    case PyUnicode_2BYTE_KIND: return f(static_cast<const Py_UCS2*>(data), n);
    default: return f(static_cast<const Py_UCS4*>(data), n);
  }
}

// _PATH_RE:     (?:[A-Za-z]:\\|\\\\|/)(?:[^\s'\"<>|]+[/\\])+[^\s'\"<>|]+
// _EMAIL_RE:    \b[A-Za-z0-9._%+\-]+@[A-Za-z0-9.\-]+\.[A-Za-z]{2,}\b
// _TOKENISH_RE: \b[A-Za-z0-9]{4}(?:-[A-Za-z0-9]{4}){2,}\b
// Each appends the matches in `text` to `out`; false with MemoryError set when it cannot grow.
bool find_paths(const Str& text, Spans& out);
bool find_emails(const Str& text, Spans& out);
bool find_tokens(const Str& text, Spans& out);
}  // namespace rg::redact
