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

// Each byte's value as a hex digit, either case, or -1.
constexpr std::array<signed char, 256> kHexValue = [] {
  std::array<signed char, 256> t{};
  t.fill(-1);
  for (unsigned char i = 0; i < 16; ++i) {
    t[static_cast<Byte>("0123456789abcdef"[i])] = static_cast<signed char>(i);
    t[static_cast<Byte>("0123456789ABCDEF"[i])] = static_cast<signed char>(i);
  }
  return t;
}();

// The four hex digits at p (before end): their value, or -1.
long hex4(const Byte* p, const Byte* end) {
  if (end - p < 4) return -1;
  long v = 0, bad = 0;
  for (int i = 0; i < 4; ++i) {
    v = v * 16 + kHexValue[p[i]];
    bad |= kHexValue[p[i]];
  }
  return bad < 0 ? -1 : v;
}

// The escape after a backslash at p: its character, with p moved past it. False for anything
// json.loads rejects.
bool read_escape(const Byte*& p, const Byte* end, Py_UCS4& ch) {
  if (p == end) return false;
  switch (*p++) {
    case '"': ch = '"'; return true;
    case '\\': ch = '\\'; return true;
    case '/': ch = '/'; return true;
    case 'b': ch = '\b'; return true;
    case 'f': ch = '\f'; return true;
    case 'n': ch = '\n'; return true;
    case 'r': ch = '\r'; return true;
    case 't': ch = '\t'; return true;
    case 'u': break;
    default: return false;
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

class Parser {
 public:
  Parser(std::string_view text, Buffer<char>& scratch)
      : p_(reinterpret_cast<const Byte*>(text.data())), end_(p_ + text.size()), scratch_(scratch) {}

  bool at_end() {
    skip_space();
    return p_ == end_;
  }

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

 private:
  void skip_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  // Whitespace, then `c`: true with `c` read.
  bool eat(char c) {
    skip_space();
    if (p_ == end_ || *p_ != static_cast<Byte>(c)) return false;
    ++p_;
    return true;
  }

  Coded scalar(Ref& out) {
    skip_space();
    if (p_ == end_) return Coded::kFallback;
    switch (*p_) {
      case '"': return text(out);
      case 't': return literal("true", Py_True, out);
      case 'f': return literal("false", Py_False, out);
      case 'n': return literal("null", Py_None, out);
      default: return integer(out);
    }
  }

  Coded literal(std::string_view spelling, PyObject* value, Ref& out) {
    const std::size_t left = static_cast<std::size_t>(end_ - p_);
    if (!std::string_view(as_chars(p_), left).starts_with(spelling))
      return Coded::kFallback;
    p_ += spelling.size();
    out = borrow(value);
    return Coded::kDone;
  }

  // -?(0|[1-9][0-9]*) not followed by a fraction or exponent (a float: json's own).
  Coded integer(Ref& out) {
    const Byte* const start = p_;
    const Byte* const digits = p_ + (p_ != end_ && *p_ == '-');
    const Byte* q = digits;
    if (q == end_ || *q < '0' || *q > '9') return Coded::kFallback;
    if (*q++ != '0') q = std::find_if(q, end_, [](Byte c) { return c < '0' || c > '9'; });
    if (q != end_ && (*q == '.' || *q == 'e' || *q == 'E')) return Coded::kFallback;
    p_ = q;
    if (q - digits <= 18) {
      long long v = 0;
      for (const Byte* d = digits; d != q; ++d) v = v * 10 + (*d - '0');
      out = steal(PyLong_FromLongLong(digits != start ? -v : v));
      return out ? Coded::kDone : Coded::kError;
    }
    // Long: the interpreter's own conversion, which also applies its digit limit.
    const Ref text = steal(PyUnicode_FromStringAndSize(as_chars(start), q - start));
    out = text ? steal(PyLong_FromUnicodeObject(text.get(), 10)) : Ref();
    return out ? Coded::kDone : refused();
  }

  // A quoted text, made at its final size and width as the interpreter's own str of it would
  // be. Escaped ASCII text (log text: a "\n" every line) is unescaped into scratch_ as it is
  // read; other escaped text is measured first and unescaped in a second pass.
  Coded text(Ref& out) {
    if (!eat('"')) return Coded::kFallback;
    const Byte* const body = p_;
    const Byte* q = body;
    const Byte* copied = body;  // while the text is ASCII, scratch_ holds it up to here
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0x7F;
    scratch_.clear();
    for (;;) {
      const std::size_t run = plain_run<0x7F>(q, static_cast<std::size_t>(end_ - q));
      q += run;
      length += static_cast<Py_ssize_t>(run);
      if (q == end_ || *q != '\\') break;
      const auto pending = static_cast<std::size_t>(q - copied);
      if (widest < 0x80 && pending && !scratch_.append(as_chars(copied), pending))
        return Coded::kError;
      Py_UCS4 ch;
      if (!read_escape(++q, end_, ch)) return Coded::kFallback;
      ++length;
      widest = std::max(widest, ch);
      if (widest < 0x80 && !scratch_.push(static_cast<char>(ch))) return Coded::kError;
      copied = q;
    }
    if (q == end_ || *q != '"') return Coded::kFallback;  // a control or non-ASCII byte, or no end
    Str made = Str::fresh(PyUnicode_New(length, widest));
    if (!made) return Coded::kError;
    void* chars = made.writable();
    if (widest < 0x80) {
      char* o = static_cast<char*>(chars);
      if (scratch_.size()) o = std::copy_n(scratch_.data(), scratch_.size(), o);
      std::memcpy(o, copied, static_cast<std::size_t>(q - copied));
    } else if (made.kind() == PyUnicode_1BYTE_KIND) {
      unescape(body, q, static_cast<Py_UCS1*>(chars));
    } else if (made.kind() == PyUnicode_2BYTE_KIND) {
      unescape(body, q, static_cast<Py_UCS2*>(chars));
    } else {
      unescape(body, q, static_cast<Py_UCS4*>(chars));
    }
    p_ = q + 1;
    out = std::move(made);
    return Coded::kDone;
  }

  const Byte* p_;
  const Byte* const end_;
  Buffer<char>& scratch_;
};

}  // namespace

Coded decode_line(std::string_view text, Ref& row, Buffer<char>& scratch) {
  Parser parser(text, scratch);
  Ref parsed;
  Coded coded = parser.object(parsed);
  if (coded == Coded::kDone && !parser.at_end()) coded = Coded::kFallback;  // json: extra data
  if (coded == Coded::kDone) row = std::move(parsed);
  return coded;
}

}  // namespace rg::store_lines
