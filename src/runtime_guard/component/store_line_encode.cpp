// Writing a store line natively: json.dumps(row, separators=(",", ":")) with its defaults
// (ensure_ascii, keys in the dict's order), for the rows the module itself makes.
#include <array>
#include <cstdio>

#include "component/store_line_codec.hpp"
#include "component/store_line_scan.hpp"

namespace rg::store_lines {

char* LineBuffer::room(std::size_t more) {
  if (capacity_ - size_ >= more) return data_ + size_;
  if (more > PY_SSIZE_T_MAX - size_) return PyErr_NoMemory(), nullptr;
  std::size_t want = capacity_ ? capacity_ : 256;
  while (want < size_ + more) want = want > PY_SSIZE_T_MAX / 2 ? size_ + more : 2 * want;
  char* fresh = static_cast<char*>(PyMem_Realloc(data_, want));
  if (!fresh) return PyErr_NoMemory(), nullptr;
  data_ = fresh;
  capacity_ = want;
  return data_ + size_;
}

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

constexpr char kHex[] = "0123456789abcdef";

char* put_u(char* out, unsigned unit) {
  *out++ = '\\';
  *out++ = 'u';
  for (int shift = 12; shift >= 0; shift -= 4) *out++ = kHex[(unit >> shift) & 0xF];
  return out;
}

// One character as json writes it with ensure_ascii: lower-case hex, a surrogate pair above
// the BMP, lone surrogates as they are.
char* put_char(char* out, Py_UCS4 c) {
  if (c < 0x80) {
    const char e = kEscapes[c];
    if (!e) {
      *out++ = static_cast<char>(c);
    } else if (e == 'u') {
      out = put_u(out, c);
    } else {
      *out++ = '\\';
      *out++ = e;
    }
    return out;
  }
  if (c < 0x10000) return put_u(out, c);
  const Py_UCS4 v = c - 0x10000;
  out = put_u(out, 0xD800 | (v >> 10));
  return put_u(out, 0xDC00 | (v & 0x3FF));
}

// The quoted text of an exact str. -1 on MemoryError.
int put_text(PyObject* s, LineBuffer& out) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  // Worst case per character: \uXXXX, or two of them above the BMP.
  const std::size_t widest = kind == PyUnicode_4BYTE_KIND ? 12 : 6;
  char* const begin = out.room(static_cast<std::size_t>(n) * widest + 2);
  if (!begin) return -1;
  char* o = begin;
  *o++ = '"';
  if (kind == PyUnicode_1BYTE_KIND) {
    const auto* p = static_cast<const unsigned char*>(PyUnicode_DATA(s));
    std::size_t i = 0;
    const std::size_t len = static_cast<std::size_t>(n);
    while (i < len) {
      const std::size_t run = plain_run<0x7E>(p + i, len - i);
      std::memcpy(o, p + i, run);
      o += run;
      i += run;
      if (i < len) o = put_char(o, p[i++]);
    }
  } else {
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i) o = put_char(o, PyUnicode_READ(kind, data, i));
  }
  *o++ = '"';
  out.grow(static_cast<std::size_t>(o - begin));
  return 0;
}

int put_bytes(LineBuffer& out, const char* text, std::size_t n) {
  char* at = out.room(n);
  if (!at) return -1;
  std::memcpy(at, text, n);
  out.grow(n);
  return 0;
}

// An exact int as int.__repr__ writes it. kFallback when the interpreter refuses the conversion
// (the digit limit): json.dumps then raises that same error.
Coded put_int(PyObject* v, LineBuffer& out) {
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (!overflow) {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%lld", small);
    return put_bytes(out, digits, static_cast<std::size_t>(n)) < 0 ? Coded::kError : Coded::kDone;
  }
  Ref text = steal(PyLong_Type.tp_repr(v));
  if (!text) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return Coded::kError;
    PyErr_Clear();
    return Coded::kFallback;
  }
  Py_ssize_t n = 0;
  const char* digits = PyUnicode_AsUTF8AndSize(text.get(), &n);
  if (!digits || put_bytes(out, digits, static_cast<std::size_t>(n)) < 0) return Coded::kError;
  return Coded::kDone;
}

Coded put_value(PyObject* v, LineBuffer& out) {
  if (PyUnicode_CheckExact(v)) return put_text(v, out) < 0 ? Coded::kError : Coded::kDone;
  if (v == Py_True) return put_bytes(out, "true", 4) < 0 ? Coded::kError : Coded::kDone;
  if (v == Py_False) return put_bytes(out, "false", 5) < 0 ? Coded::kError : Coded::kDone;
  if (v == Py_None) return put_bytes(out, "null", 4) < 0 ? Coded::kError : Coded::kDone;
  if (PyLong_CheckExact(v)) return put_int(v, out);
  return Coded::kFallback;  // floats, containers, subclasses: json's own rules apply
}

}  // namespace

// Nothing here runs Python code (no __repr__, __eq__ or hash of a host type), so the dict
// cannot change while it is walked.
Coded encode_row(PyObject* row, LineBuffer& out) {
  if (!PyDict_CheckExact(row)) return Coded::kFallback;
  const std::size_t start = out.size();
  Coded result = put_bytes(out, "{", 1) < 0 ? Coded::kError : Coded::kDone;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  bool first = true;
  while (result == Coded::kDone && PyDict_Next(row, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) {
      result = Coded::kFallback;  // json converts or rejects other keys by its own rules
      break;
    }
    if ((!first && put_bytes(out, ",", 1) < 0) || put_text(key, out) < 0 || put_bytes(out, ":", 1) < 0) {
      result = Coded::kError;
      break;
    }
    first = false;
    result = put_value(value, out);
  }
  if (result == Coded::kDone && put_bytes(out, "}", 1) < 0) result = Coded::kError;
  if (result != Coded::kDone) out.truncate(start);
  return result;
}

Coded encode_line(PyObject* row, LineBuffer& scratch, Ref& line, PyObject* known) {
  scratch.truncate(0);
  const Coded coded = encode_row(row, scratch);
  if (coded != Coded::kDone) return coded;
  if (known && PyUnicode_CheckExact(known) && PyUnicode_IS_ASCII(known) &&
      static_cast<std::size_t>(PyUnicode_GET_LENGTH(known)) == scratch.size() &&
      std::memcmp(PyUnicode_DATA(known), scratch.data(), scratch.size()) == 0) {
    line = borrow(known);
    return Coded::kDone;
  }
  line = steal(PyUnicode_New(static_cast<Py_ssize_t>(scratch.size()), 127));
  if (!line) return Coded::kError;
  std::memcpy(PyUnicode_DATA(line.get()), scratch.data(), scratch.size());
  return Coded::kDone;
}

}  // namespace rg::store_lines
