// Store lines written as json.dumps(row, separators=(",", ":")) does (ensure_ascii, dict order)
// and read as json.loads does: duplicate keys keep their first place and last value, surrogate
// pairs joined and lone ones kept; what it would reject, or outside the subset, is left to it.
// Native lines stand in for the module's late-bound json only when it is the interpreter's own.
#include <algorithm>
#include <array>

#include "redact/scanners.hpp"
#include "store_lines/shared.hpp"
#include "capi/call.hpp"

namespace rg::store_lines {
namespace {
// How json writes a character below 0x80: itself (0), a two-character escape, or \u00XX ('u').
constexpr std::array<char, 128> kEscapes = [] {
  std::array<char, 128> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b', t['\f'] = 'f', t['\n'] = 'n', t['\r'] = 'r', t['\t'] = 't';
  t['"'] = '"', t['\\'] = '\\', t[0x7F] = 'u';
  return t;
}();

char* put_u(char* out, Py_UCS4 unit) {
  constexpr char kHex[] = "0123456789abcdef";
  out = std::copy_n("\\u", 2, out);
  for (int shift = 12; shift >= 0; shift -= 4) *out++ = kHex[(unit >> shift) & 0xF];
  return out;
}

// As json with ensure_ascii: lower-case hex, a pair above the BMP, lone surrogates as they are.
char* put_char(char* out, Py_UCS4 c) {
  if (c >= 0x10000) return put_u(put_u(out, 0xD800 | ((c - 0x10000) >> 10)), 0xDC00 | (c & 0x3FF));
  const char escape = c < 0x80 ? kEscapes[c] : 'u';
  if (escape == 'u') return put_u(out, c);
  if (escape) *out++ = '\\';
  *out++ = escape ? escape : static_cast<char>(c);
  return out;
}

std::string_view ascii(const Str& s) {
  return {static_cast<const char*>(s.data()), static_cast<std::size_t>(s.size())};
}

template <class Char>
char* put_chars(const Char* p, std::size_t n, char* out) {
  for (std::size_t i = 0; i < n;) {
    if constexpr (sizeof(Char) == 1) {
      const std::size_t run = plain_run<0x7E>(p + i, n - i);
      std::memcpy(out, p + i, run);
      out += run;
      if ((i += run) == n) break;
    }
    out = put_char(out, p[i++]);
  }
  return out;
}

// The quoted text of a str; false with MemoryError. Room for the worst: \uXXXX, or two.
bool put_text(const Str& s, Buffer<char>& out) {
  const std::size_t n = static_cast<std::size_t>(s.size());
  char* const begin = out.room(n * (s.kind() == PyUnicode_4BYTE_KIND ? 12 : 6) + 2);
  if (!begin) return false;
  char* o = begin;
  *o++ = '"';
  o = redact::with_text(s, [&](auto* chars, Py_ssize_t) { return put_chars(chars, n, o); });
  *o++ = '"';
  out.grow(static_cast<std::size_t>(o - begin));
  return true;
}

Coded put_value(PyObject* v, Buffer<char>& out) {
  if (const Str s = Str::probe_exact(v)) return done(put_text(s, out));
  const std::string_view word =
      v == Py_True ? "true" : v == Py_False ? "false" : v == Py_None ? "null" : "";
  if (!word.empty()) return done(out.append(word.data(), word.size()));
  if (PyLong_CheckExact(v)) {  // as int.__repr__ writes it
    const Str digits = Str::fresh(PyLong_Type.tp_repr(v));
    return digits ? done(out.append(ascii(digits).data(), ascii(digits).size())) : refused();
  }
  return Coded::kFallback;  // floats, containers, subclasses: json's own rules apply
}

// Appends the line; on kFallback nothing, no error set. No Python code runs (no host __repr__,
// __eq__ or hash), so the dict cannot change while it is walked.
Coded encode_row(PyObject* row, Buffer<char>& out) {
  const Dict dict = Dict::probe_exact(row);
  if (!dict) return Coded::kFallback;
  const std::size_t start = out.size();
  Coded result = done(out.push('{'));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (result == Coded::kDone && PyDict_Next(dict.get(), &pos, &key, &value)) {
    const Str name = Str::probe_exact(key);
    if (!name)
      result = Coded::kFallback;  // json converts or rejects other keys by its own rules
    else if ((out.size() > start + 1 && !out.push(',')) || !put_text(name, out) || !out.push(':'))
      result = Coded::kError;
    else
      result = put_value(value, out);
  }
  if (result == Coded::kDone && !out.push('}')) result = Coded::kError;
  if (result != Coded::kDone) out.truncate(start);
  return result;
}
}  // namespace

Coded encode_line(PyObject* row, Buffer<char>& scratch, Ref& line, PyObject* known) {
  scratch.clear();
  const Coded coded = encode_row(row, scratch);
  if (coded != Coded::kDone) return coded;
  const std::string_view written(scratch.data(), scratch.size());
  Str made = Str::probe_exact(known);  // `known` itself when it is that line
  if (!made || !made.is_ascii() || ascii(made) != written) {
    made = Str::fresh(PyUnicode_New(static_cast<Py_ssize_t>(written.size()), 127));
    if (!made) return Coded::kError;
    std::memcpy(made.writable(), written.data(), written.size());
  }
  line = std::move(made);
  return Coded::kDone;
}

// Each named attribute of `owner` is a Python function defined in the module named `module`.
static Answer all_defined_in(PyObject* owner, std::initializer_list<PyObject*> names,
                             const char* module) {
  for (PyObject* name : names) {
    Ref fn;
    const Answer found = lookup_attr(owner, name, fn);
    if (found != Answer::kYes) return found;
    if (!PyFunction_Check(fn.get())) return Answer::kNo;
    PyObject* in = PyDict_GetItemWithError(PyFunction_GetGlobals(fn.get()), S("__name__"));
    if (!in) return PyErr_Occurred() ? Answer::kFailed : Answer::kNo;
    const bool there = PyUnicode_Check(in) && PyUnicode_CompareWithASCIIString(in, module) == 0;
    if (!there) return Answer::kNo;
  }
  return Answer::kYes;
}

Answer json_is_standard(PyObject* json) {
  if (!PyModule_Check(json)) return Answer::kNo;
  const Ref name = steal(PyModule_GetNameObject(json));
  if (!name) return Answer::kFailed;
  if (PyUnicode_CompareWithASCIIString(name.get(), "json") != 0) return Answer::kNo;
  Ref encoder, decoder;
  Answer ok = all_defined_in(json, {S("dumps"), S("loads")}, "json");
  if (ok == Answer::kYes) ok = lookup_attr(json, S("JSONEncoder"), encoder);
  if (ok == Answer::kYes && !PyType_Check(encoder.get())) ok = Answer::kNo;
  if (ok == Answer::kYes)
    ok = all_defined_in(encoder.get(), {S("__init__"), S("encode"), S("iterencode")},
                        "json.encoder");
  // The default decoder reads with json's own hooks: plain dicts, int for integers, strict text.
  if (ok == Answer::kYes) ok = lookup_attr(json, S("_default_decoder"), decoder);
  if (ok == Answer::kYes)
    ok = all_defined_in(reinterpret_cast<PyObject*>(Py_TYPE(decoder.get())),
                        {S("__init__"), S("decode"), S("raw_decode")}, "json.decoder");
  const std::pair<PyObject*, PyObject*> expected[] = {
      {S("object_hook"), Py_None}, {S("object_pairs_hook"), Py_None},
      {S("parse_int"), reinterpret_cast<PyObject*>(&PyLong_Type)}, {S("strict"), Py_True}};
  for (auto [hook, value] : expected) {
    Ref found;
    if (ok == Answer::kYes) ok = lookup_attr(decoder.get(), hook, found);
    if (ok == Answer::kYes && found.get() != value) ok = Answer::kNo;
  }
  return ok;
}

namespace {
using Byte = unsigned char;
const char* as_chars(const Byte* p) { return reinterpret_cast<const char*>(p); }

// The four hex digits at p, in either case: their value, or -1.
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

// The escape after a backslash at p: its character, p moved past it; false if json rejects it.
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

// A quoted text's body, read once already so its escapes are sound.
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
  bool skip_space() {
    while (p != end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
    return p != end;
  }
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
  // -?(0|[1-9][0-9]*), not a float; by int() as json does, with the interpreter's digit limit.
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
  // A quoted text at its final size and width. Escaped ASCII (log text: a "\n" every line) is
  // unescaped into scratch as it is read; other escaped text is measured, then unescaped.
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
