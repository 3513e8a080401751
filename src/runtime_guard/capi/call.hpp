// Interned literals, and what Python code does to a value of any type: attribute access, calls
// with positional and keyword arguments, `or`, mapping.get, slicing, unpacking.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <utility>

#include "capi/fail.hpp"

namespace rg {
// An interned str per distinct literal, registered at load time and made when the module is
// executed (intern_literals): S() is never null once the module exists.
struct InternedSlot {
  const char* text;
  PyObject* value;
  InternedSlot* next;
};
void register_literal(InternedSlot* slot);
int intern_literals();  // -1 (MemoryError) when one cannot be made
// A text as a template argument (S()'s, a declaration's signature): a string literal or a
// constexpr `const char*` naming one. A longer text does not compile (the copy would overrun).
struct Literal {
  static constexpr std::size_t kCapacity = 96;
  char text[kCapacity] = {};
  constexpr Literal(const char* s) {
    std::size_t i = 0;
    while ((text[i] = s[i]) != '\0') ++i;  // the terminator too
  }
};
template <Literal L>
struct Interned {
  static inline InternedSlot slot{L.text, nullptr, nullptr};
  static inline const bool registered = (register_literal(&slot), true);
  static PyObject* get() { return (void)registered, slot.value; }
};
#define S(lit) (::rg::Interned<lit>::get())
inline Ref str(const char* s) { return steal(PyUnicode_FromString(s)); }
inline Ref integer(long long v) { return steal(PyLong_FromLongLong(v)); }
inline Ref floating(double v) { return steal(PyFloat_FromDouble(v)); }
inline Ref boolean(bool v) { return borrow(v ? Py_True : Py_False); }
inline Ref none() { return borrow(Py_None); }
// A null argument (a failed step whose result was passed on unchecked) fails the call instead
// of reaching the interpreter; the failed step's error stays set.
Ref null_argument();
inline bool any_null(PyObject* const* argv, size_t n) {
  return std::find(argv, argv + n, nullptr) != argv + n;
}
// A keyword argument for call_kw, or an item for dict_of: {S("timeout"), value}
struct Kw {
  PyObject *name, *value;
};
using Args = std::initializer_list<PyObject*>;
using Kws = std::initializer_list<Kw>;
// fn(*positional, **keywords), keyword order kept; any number of arguments.
Ref call_kw(PyObject* fn, Args positional, Kws keywords);
inline Ref call_kw(const Ref& fn, Args positional, Kws keywords) {
  return call_kw(fn.get(), positional, keywords);
}
Ref dict_of(Kws items);  // {name: value, ...}, in the order given
// fn(*args), obj.name(*args), getattr(o, name): each object a Ref or a borrowed pointer.
template <class F, class... A>
Ref call(const F& fn, const A&... args) {
  return call_kw(raw(fn), {raw(args)...}, {});
}
template <class O, class... A>
Ref call_method(const O& obj, PyObject* name, const A&... args) {
  PyObject* argv[sizeof...(A) + 1] = {raw(obj), raw(args)...};
  if (!name || any_null(argv, sizeof...(A) + 1)) return null_argument();
  const size_t nargs = (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET;
  return steal(PyObject_VectorcallMethod(name, argv, nargs, nullptr));
}
template <class O>
Ref attr(const O& o, PyObject* name) {
  return raw(o) && name ? steal(PyObject_GetAttr(raw(o), name)) : null_argument();
}
// `value or fallback`: empty (error set) when `value` is empty or its truth test fails.
inline Ref or_else(Ref value, PyObject* fallback) {
  if (!value) return {};
  RG_TRUTH(truth, value);
  return truth ? std::move(value) : borrow(fallback);
}
// getattr(obj, name), where a missing attribute (AttributeError, cleared) is kNo, not a failure;
// hasattr(obj, name); getattr(obj, name, fallback).
Answer lookup_attr(PyObject* obj, PyObject* name, Ref& out);
inline Answer hasattr(PyObject* obj, PyObject* name) {
  Ref ignored;
  return lookup_attr(obj, name, ignored);
}
Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback);
// mapping.get(key[, fallback]); an exact dict is read directly, with the same result.
Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr);
Ref head(PyObject* value, long long stop);  // value[:stop], as Python slices it
// `a, b = value`, with Python's unpacking rules and errors.
int unpack_pair(PyObject* value, Ref& first, Ref& second);
}  // namespace rg
