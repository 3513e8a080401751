// Reading a store line natively, as json.loads reads it with its default decoder: whitespace
// " \t\n\r" around every token, duplicate keys keep their first place and their last value,
// \uXXXX escapes in either case with a high surrogate joined to a following low one and lone
// surrogates kept. Everything json.loads would reject, and every value outside the subset,
// is left to json.loads itself, so its result and its errors stay its own.
#include <algorithm>
#include <array>

#include "store_lines/shared.hpp"

namespace rg::store_lines {

namespace {

using Byte = unsigned char;
const char* as_chars(const Byte* p) { return reinterpret_cast<const char*>(p); }

// The four hex digits at p (before end), in either case: their value, or -1.
long hex4(const Byte* p, const Byte* end) {
  long v = end - p < 4 ? -1 : 0;
  for (const Byte* d = p; v >= 0 && d != p + 4; ++d) {
    const unsigned digit = *d - 48u, letter = (*d | 0x20u) - 97u;  // from '0'; from 'a' or 'A'
    v = digit < 10 ? v * 16 + digit : letter < 6 ? v * 16 + letter + 10 : -1;
  }
  return v;
}

// What each byte after a backslash stands for: a character, 'u' for \uXXXX, or 0 (no escape).
constexpr std::array<char, 256> kUnescaped = [] {
  std::array<char, 256> t{};
  t['"'] = '"', t['\\'] = '\\', t['/'] = '/', t['b'] = '\b', t['f'] = '\f';
  t['n'] = '\n', t['r'] = '\r', t['t'] = '\t', t['u'] = 'u';
  return t;
}();

// The escape after a backslash at p: its character, with p moved past it. False for anything
// json.loads rejects.
bool read_escape(const Byte*& p, const Byte* end, Py_UCS4& ch) {
  const char meaning = p == end ? 0 : kUnescaped[*p++];
  if (meaning != 'u') {
    ch = static_cast<Byte>(meaning);
    return meaning != 0;
  }
  const long unit = hex4(p, end);
  if (unit < 0) return false;
  p += 4;
  ch = static_cast<Py_UCS4>(unit);
  if (unit < 0xD800 || unit > 0xDBFF || end - p < 2 || p[0] != '\\' || p[1] != 'u') return true;
  const long low = hex4(p + 2, end);
  if (low < 0) return false;  // json.loads: invalid \uXXXX escape
  if (low >= 0xDC00 && low <= 0xDFFF) {  // else a lone high surrogate, then an escape of its own
    ch = 0x10000 + ((ch - 0xD800) << 10) + (static_cast<Py_UCS4>(low) - 0xDC00);
    p += 6;
  }
  return true;
}

// The characters of a quoted text's body (read once already, so its escapes are sound).
template <class Char>
void unescape(const Byte* r, const Byte* close, Char* o) {
  while (r != close) {
    if constexpr (sizeof(Char) == 1) {
      const std::size_t run = plain_run<0x7F>(r, static_cast<std::size_t>(close - r));
      o = std::copy(r, r + run, o);
      if ((r += run) == close) break;
    }
    Py_UCS4 ch = *r++;
    if (ch == '\\') read_escape(r, close, ch);
    *o++ = static_cast<Char>(ch);
  }
}

struct Parser {
  const Byte* p;
  const Byte* const end;
  Buffer<char>& scratch;

  Coded object(Ref& out) {
    if (!eat('{')) return Coded::kFallback;
    Dict dict = Dict::fresh(PyDict_New());
    if (!dict) return Coded::kError;
    bool more = !eat('}');
    while (more) {
      Ref key, value;
      Coded coded = text(key);
      if (coded == Coded::kDone) coded = eat(':') ? scalar(value) : Coded::kFallback;
      if (coded != Coded::kDone) return coded;
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return Coded::kError;
      more = !eat('}');
      if (more && !eat(',')) return Coded::kFallback;
    }
    out = std::move(dict);
    return Coded::kDone;
  }

  // Skips whitespace: whether anything is left.
  bool skip_space() {
    while (p != end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
    return p != end;
  }

  // Whitespace, then `c`: true with `c` read.
  bool eat(char c) {
    if (!skip_space() || *p != static_cast<Byte>(c)) return false;
    ++p;
    return true;
  }

  Coded scalar(Ref& out) {
    using Literal = std::pair<std::string_view, PyObject*>;
    skip_space();
    const std::string_view rest(as_chars(p), static_cast<std::size_t>(end - p));
    if (rest.starts_with('"')) return text(out);
    for (auto [spelling, value] :
         {Literal{"true", Py_True}, {"false", Py_False}, {"null", Py_None}}) {
      if (!rest.starts_with(spelling)) continue;
      p += spelling.size();
      out = borrow(value);
      return Coded::kDone;
    }
    return integer(out);
  }

  // -?(0|[1-9][0-9]*) not followed by a fraction or exponent (a float: json's own), converted
  // as json does it: by int(), which also applies the interpreter's digit limit.
  Coded integer(Ref& out) {
    const Byte* const start = p;
    const Byte* q = p + (p != end && *p == '-');
    if (q == end || *q < '0' || *q > '9') return Coded::kFallback;
    if (*q++ != '0') q = std::find_if(q, end, [](Byte c) { return c < '0' || c > '9'; });
    if (q != end && (*q == '.' || *q == 'e' || *q == 'E')) return Coded::kFallback;
    p = q;
    const Ref digits = steal(PyUnicode_FromStringAndSize(as_chars(start), q - start));
    out = digits ? steal(PyLong_FromUnicodeObject(digits.get(), 10)) : Ref();
    return out ? Coded::kDone : refused();
  }

  // A quoted text, made at its final size and width as the interpreter's own str of it would
  // be. Escaped ASCII text (log text: a "\n" every line) is unescaped into scratch as it is
  // read; other escaped text is measured first and unescaped in a second pass.
  Coded text(Ref& out) {
    if (!eat('"')) return Coded::kFallback;
    const Byte* const body = p;
    const Byte* q = body;
    const Byte* copied = body;  // while the text is ASCII, scratch holds it up to here
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0x7F;
    scratch.clear();
    for (;;) {
      const std::size_t run = plain_run<0x7F>(q, static_cast<std::size_t>(end - q));
      q += run;
      length += static_cast<Py_ssize_t>(run);
      if (q == end || *q != '\\') break;
      const auto pending = static_cast<std::size_t>(q - copied);
      if (widest < 0x80 && pending && !scratch.append(as_chars(copied), pending))
        return Coded::kError;
      Py_UCS4 ch;
      if (!read_escape(++q, end, ch)) return Coded::kFallback;
      ++length;
      widest = std::max(widest, ch);
      if (widest < 0x80 && !scratch.push(static_cast<char>(ch))) return Coded::kError;
      copied = q;
    }
    if (q == end || *q != '"') return Coded::kFallback;  // a control or non-ASCII byte, or no end
    Str made = Str::fresh(PyUnicode_New(length, widest));
    if (!made) return Coded::kError;
    void* chars = made.writable();
    if (widest < 0x80) {  // what scratch holds, then the rest as it stands
      char* rest = std::copy_n(scratch.data(), scratch.size(), static_cast<char*>(chars));
      std::copy(as_chars(copied), as_chars(q), rest);
    } else if (made.kind() == PyUnicode_1BYTE_KIND) {
      unescape(body, q, static_cast<Py_UCS1*>(chars));
    } else if (made.kind() == PyUnicode_2BYTE_KIND) {
      unescape(body, q, static_cast<Py_UCS2*>(chars));
    } else {
      unescape(body, q, static_cast<Py_UCS4*>(chars));
    }
    p = q + 1;
    out = std::move(made);
    return Coded::kDone;
  }
};

}  // namespace

Coded decode_line(std::string_view text, Ref& row, Buffer<char>& scratch) {
  const auto* start = reinterpret_cast<const Byte*>(text.data());
  Parser parser{start, start + text.size(), scratch};
  Ref parsed;
  Coded coded = parser.object(parsed);
  if (coded == Coded::kDone && parser.skip_space()) coded = Coded::kFallback;  // json: extra data
  if (coded == Coded::kDone) row = std::move(parsed);
  return coded;
}

}  // namespace rg::store_lines
