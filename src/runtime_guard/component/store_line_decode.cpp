// Reading a store line natively, as json.loads reads it with its default decoder: whitespace
// " \t\n\r" around every token, duplicate keys keep their first place and their last value,
// \uXXXX escapes in either case with a high surrogate joined to a following low one and lone
// surrogates kept. Everything json.loads would reject, and every value outside the subset,
// is left to json.loads itself, so its result and its errors stay its own.
#include <cstdlib>

#include "component/store_line_codec.hpp"
#include "component/store_line_scan.hpp"

namespace rg::store_lines {

namespace {

using Byte = unsigned char;

bool is_space(Byte c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_digit(Byte c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at p (within end): their value, or -1.
long hex4(const Byte* p, const Byte* end) {
  if (end - p < 4) return -1;
  long v = 0;
  for (int i = 0; i < 4; ++i) {
    const int d = hex_digit(p[i]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

// The escape after a backslash at p: its character, with p moved past it. False for anything
// json.loads rejects (or reads differently from the standard escapes).
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
  if (low >= 0xDC00 && low <= 0xDFFF) {
    ch = 0x10000 + ((static_cast<Py_UCS4>(unit) - 0xD800) << 10) + (static_cast<Py_UCS4>(low) - 0xDC00);
    p += 6;
  }
  return true;  // else the lone high surrogate; the next escape is read on its own
}

class LineParser {
 public:
  LineParser(const Byte* p, const Byte* end, LineBuffer& scratch) : p_(p), end_(end), scratch_(scratch) {}

  Coded line(Ref& row) {
    skip_space();
    Coded coded = object(row);
    if (coded != Coded::kDone) return coded;
    skip_space();
    if (p_ != end_) {
      row = Ref();
      return Coded::kFallback;  // json.loads: extra data
    }
    return Coded::kDone;
  }

 private:
  void skip_space() {
    while (p_ != end_ && is_space(*p_)) ++p_;
  }
  bool at(char c) const { return p_ != end_ && *p_ == static_cast<Byte>(c); }

  Coded object(Ref& out) {
    if (!at('{')) return Coded::kFallback;
    ++p_;
    Ref dict = steal(PyDict_New());
    if (!dict) return Coded::kError;
    skip_space();
    if (at('}')) {
      ++p_;
      out = std::move(dict);
      return Coded::kDone;
    }
    for (;;) {
      Ref key, value;
      Coded coded = text(key);
      if (coded != Coded::kDone) return coded;
      skip_space();
      if (!at(':')) return Coded::kFallback;
      ++p_;
      skip_space();
      coded = scalar(value);
      if (coded != Coded::kDone) return coded;
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return Coded::kError;
      skip_space();
      if (at('}')) break;
      if (!at(',')) return Coded::kFallback;
      ++p_;
      skip_space();
    }
    ++p_;
    out = std::move(dict);
    return Coded::kDone;
  }

  Coded scalar(Ref& out) {
    if (p_ == end_) return Coded::kFallback;
    switch (*p_) {
      case '"': return text(out);
      case 't': return literal("true", Py_True, out);
      case 'f': return literal("false", Py_False, out);
      case 'n': return literal("null", Py_None, out);
      default: return integer(out);
    }
  }

  Coded literal(std::string_view word, PyObject* value, Ref& out) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::string_view(reinterpret_cast<const char*>(p_), word.size()) != word)
      return Coded::kFallback;
    p_ += word.size();
    out = borrow(value);
    return Coded::kDone;
  }

  // -?(0|[1-9][0-9]*) not followed by a fraction or exponent (a float: json's own).
  Coded integer(Ref& out) {
    const Byte* start = p_;
    const Byte* q = p_;
    if (q != end_ && *q == '-') ++q;
    const Byte* digits = q;
    if (q == end_ || *q < '0' || *q > '9') return Coded::kFallback;
    if (*q == '0') {
      ++q;
    } else {
      while (q != end_ && *q >= '0' && *q <= '9') ++q;
    }
    if (q != end_ && (*q == '.' || *q == 'e' || *q == 'E')) return Coded::kFallback;
    p_ = q;
    if (q - digits <= 18) {
      long long v = 0;
      for (const Byte* d = digits; d != q; ++d) v = v * 10 + (*d - '0');
      out = steal(PyLong_FromLongLong(digits != start ? -v : v));
      return out ? Coded::kDone : Coded::kError;
    }
    // Long: the interpreter's own conversion, which also applies its digit limit (over it,
    // json.loads raises that error itself).
    const std::size_t n = static_cast<std::size_t>(q - start);
    char* copy = static_cast<char*>(PyMem_Malloc(n + 1));
    if (!copy) return PyErr_NoMemory(), Coded::kError;
    std::memcpy(copy, start, n);
    copy[n] = '\0';
    out = steal(PyLong_FromString(copy, nullptr, 10));
    PyMem_Free(copy);
    if (out) return Coded::kDone;
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return Coded::kError;
    PyErr_Clear();
    return Coded::kFallback;
  }

  // Appends `n` bytes to the scratch text. False with MemoryError set.
  bool keep(const void* p, std::size_t n) {
    if (n == 0) return true;
    char* at = scratch_.room(n);
    if (!at) return false;
    std::memcpy(at, p, n);
    scratch_.grow(n);
    return true;
  }

  // A quoted text, made at its final size and width as the interpreter's own str of it would
  // be. Escaped ASCII text (log text: a "\n" every line) is unescaped into the scratch buffer as
  // it is read; other escaped text is measured first and unescaped in a second pass.
  Coded text(Ref& out) {
    if (!at('"')) return Coded::kFallback;
    const Byte* const body = ++p_;
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    bool escaped = false;
    const Byte* q = body;
    for (;;) {
      const std::size_t run = plain_run<0x7F>(q, static_cast<std::size_t>(end_ - q));
      if (escaped && widest < 0x80 && !keep(q, run)) return Coded::kError;
      q += run;
      length += static_cast<Py_ssize_t>(run);
      if (q == end_ || *q != '\\') break;
      if (!escaped) {
        scratch_.truncate(0);
        if (!keep(body, static_cast<std::size_t>(q - body))) return Coded::kError;
      }
      Py_UCS4 ch;
      if (!read_escape(++q, end_, ch)) return Coded::kFallback;
      escaped = true;
      ++length;
      if (ch > widest) widest = ch;
      const char ascii = static_cast<char>(ch);
      if (widest < 0x80 && !keep(&ascii, 1)) return Coded::kError;
    }
    if (q == end_ || *q != '"') return Coded::kFallback;  // a control or non-ASCII byte, or no end
    const Byte* const close = q;
    out = steal(PyUnicode_New(length, widest < 0x80 ? 0x7F : widest));
    if (!out) return Coded::kError;
    if (!escaped) {
      std::memcpy(PyUnicode_DATA(out.get()), body, static_cast<std::size_t>(length));
    } else if (widest < 0x80) {
      std::memcpy(PyUnicode_DATA(out.get()), scratch_.data(), scratch_.size());
    } else if (PyUnicode_KIND(out.get()) == PyUnicode_1BYTE_KIND) {
      auto* o = static_cast<Py_UCS1*>(PyUnicode_DATA(out.get()));
      for (const Byte* r = body; r != close;) {
        const std::size_t run = plain_run<0x7F>(r, static_cast<std::size_t>(close - r));
        std::memcpy(o, r, run);
        o += run;
        r += run;
        if (r == close) break;
        Py_UCS4 ch;
        read_escape(++r, close, ch);
        *o++ = static_cast<Py_UCS1>(ch);
      }
    } else {
      const int kind = PyUnicode_KIND(out.get());
      void* data = PyUnicode_DATA(out.get());
      Py_ssize_t i = 0;
      for (const Byte* r = body; r != close;) {
        Py_UCS4 ch = *r++;
        if (ch == '\\') read_escape(r, close, ch);
        PyUnicode_WRITE(kind, data, i++, ch);
      }
    }
    p_ = close + 1;
    return Coded::kDone;
  }

  const Byte* p_;
  const Byte* const end_;
  LineBuffer& scratch_;
};

}  // namespace

Coded decode_line(std::string_view text, Ref& row, LineBuffer& scratch) {
  const auto* p = reinterpret_cast<const Byte*>(text.data());
  LineParser parser(p, p + text.size(), scratch);
  Ref parsed;
  const Coded coded = parser.line(parsed);
  if (coded == Coded::kDone) row = std::move(parsed);
  return coded;
}

}  // namespace rg::store_lines
