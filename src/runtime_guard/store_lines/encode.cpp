// Writing a store line natively: json.dumps(row, separators=(",", ":")) with its defaults
// (ensure_ascii, keys in the dict's order), for the rows the module itself makes.
#include <algorithm>
#include <array>

#include "store_lines/shared.hpp"

namespace rg::store_lines {

namespace {

// How json's ASCII encoder writes a character below 0x80: itself (0), a two-character escape
// (its letter), or \u00XX ('u').
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

// One character as json writes it with ensure_ascii: lower-case hex, a surrogate pair above
// the BMP, lone surrogates as they are.
char* put_char(char* out, Py_UCS4 c) {
  if (c >= 0x10000) return put_u(put_u(out, 0xD800 | ((c - 0x10000) >> 10)), 0xDC00 | (c & 0x3FF));
  const char escape = c < 0x80 ? kEscapes[c] : 'u';
  if (escape == 'u') return put_u(out, c);
  if (escape) *out++ = '\\';
  *out++ = escape ? escape : static_cast<char>(c);
  return out;
}

// The characters of an ASCII str, which are its bytes.
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

// The quoted text of a str; false with MemoryError.
bool put_text(const Str& s, Buffer<char>& out) {
  const std::size_t n = static_cast<std::size_t>(s.size());
  // Worst case per character: \uXXXX, or two of them above the BMP.
  char* const begin = out.room(n * (s.kind() == PyUnicode_4BYTE_KIND ? 12 : 6) + 2);
  if (!begin) return false;
  char* o = begin;
  *o++ = '"';
  if (s.kind() == PyUnicode_1BYTE_KIND) o = put_chars(static_cast<const Py_UCS1*>(s.data()), n, o);
  if (s.kind() == PyUnicode_2BYTE_KIND) o = put_chars(static_cast<const Py_UCS2*>(s.data()), n, o);
  if (s.kind() == PyUnicode_4BYTE_KIND) o = put_chars(static_cast<const Py_UCS4*>(s.data()), n, o);
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

}  // namespace

// Nothing here runs Python code (no __repr__, __eq__ or hash of a host type), so the dict
// cannot change while it is walked.
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

}  // namespace rg::store_lines
