// One declaration per function or method the module exports: its text signature, its
// docstring and its implementation stand together,
//
//   RG_DEF(Function, report_open, "report_open(name=None, *, depth=2)",
//          "Fire-and-forget open event including the function/class name.")
//   Ref report_open(PyObject* name, PyObject* depth) { ... }
//
// and everything else comes from them: the Python name, the argument binding with the
// interpreter's TypeError messages, the defaults, `__text_signature__` (the signature line of
// the doc, as inspect reads a builtin's) and the docstring. The implementation takes one
// borrowed PyObject* per parameter, a default already in place, and its parameter count is
// checked against the signature when it compiles.
//
// Defaults are literals: None, True, False, an integer or a decimal number, taken as the
// value a `def` would have bound when the module body ran.
#pragma once

#include <cstddef>
#include <utility>

#include "capi/method_owner.hpp"
#include "capi/module_scope.hpp"
#include "capi/params.hpp"
#include "capi/py.hpp"

namespace rg {

enum class Kind { Function, Method, StaticMethod };

// What the module body binds: a builtin function of the module, or a class member.
struct Def {
  PyMethodDef method;
  Kind kind;
};

// The object a declaration is bound as: a builtin function whose __self__ is `owner` (the
// module, or the method owner of the class) and whose __module__ is `module_name`, wrapped as
// an instance method or a static method for a class body.
Ref make_member(const Def& def, PyObject* owner, const char* module_name);

namespace declare {

inline constexpr std::size_t kMaxParameters = 6;
inline constexpr std::size_t kMaxName = 32;

enum class Default : unsigned char { Required, None, True, False, Integer, Float };

struct Parameter {
  char name[kMaxName] = {};
  Default value = Default::Required;
  long long integer = 0;
  double number = 0;
};

struct Parsed {
  char name[kMaxName] = {};
  Parameter params[kMaxParameters] = {};
  Py_ssize_t count = 0;
  Py_ssize_t positional = 0;
  unsigned required = 0;
  bool ok = false;
};

constexpr bool is_name_char(char c) {
  return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

constexpr bool copy_name(const char*& s, char (&out)[kMaxName]) {
  std::size_t n = 0;
  while (is_name_char(*s)) {
    if (n + 1 == kMaxName) return false;
    out[n++] = *s++;
  }
  return n > 0;
}

constexpr bool same(const char* s, const char* word, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (s[i] != word[i]) return false;
  return !is_name_char(s[n]) && s[n] != '.';
}

// None, True, False, -?digits, -?digits.digits
constexpr bool parse_default(const char*& s, Parameter& p) {
  for (auto [word, kind] : {std::pair{"None", Default::None}, std::pair{"True", Default::True},
                            std::pair{"False", Default::False}}) {
    std::size_t n = 0;
    while (word[n]) ++n;
    if (same(s, word, n)) {
      p.value = kind;
      s += n;
      return true;
    }
  }
  const bool negative = *s == '-';
  if (negative) ++s;
  if (*s < '0' || *s > '9') return false;
  long long whole = 0;
  while (*s >= '0' && *s <= '9') whole = whole * 10 + (*s++ - '0');
  p.value = Default::Integer;
  p.integer = negative ? -whole : whole;
  if (*s != '.') return true;
  ++s;
  double fraction = 0, scale = 1;
  while (*s >= '0' && *s <= '9') {
    fraction = fraction * 10 + (*s++ - '0');
    scale *= 10;
  }
  p.value = Default::Float;
  p.number = (negative ? -1 : 1) * (static_cast<double>(whole) + fraction / scale);
  return true;
}

// "name(a, b=None, *, c, d=2)"; `ok` is false for anything else.
constexpr Parsed parse(const char* s) {
  Parsed r;
  if (!copy_name(s, r.name) || *s++ != '(') return r;
  bool keyword_only = false;
  while (*s != ')') {
    if (r.count || keyword_only) {
      if (s[0] != ',' || s[1] != ' ') return r;
      s += 2;
    }
    if (*s == '*') {
      if (keyword_only || s[1] != ',') return r;
      keyword_only = true;
      ++s;
      continue;
    }
    if (r.count == kMaxParameters) return r;
    Parameter& p = r.params[r.count];
    if (!copy_name(s, p.name)) return r;
    if (*s == '=') {
      ++s;
      if (!parse_default(s, p)) return r;
    } else {
      r.required |= 1u << r.count;
    }
    ++r.count;
    if (!keyword_only) r.positional = r.count;
  }
  r.ok = s[1] == '\0';
  return r;
}

template <std::size_t... I>
auto impl_type(std::index_sequence<I...>) -> Ref (*)(decltype(I, (PyObject*)nullptr)...);

// The implementation's type for a signature: Ref(PyObject*, ..., PyObject*), one per parameter.
template <Literal Sig>
using Impl = std::remove_pointer_t<decltype(impl_type(
    std::make_index_sequence<static_cast<std::size_t>(parse(Sig.text).count)>()))>;

template <std::size_t... I>
constexpr auto names_of(const Parsed& p, std::index_sequence<I...>) {
  struct Names {
    const char* names[sizeof...(I) ? sizeof...(I) : 1];
  };
  return Names{{p.params[I].name...}};
}

// Binds a call to a declaration's parameters, each default in place of a parameter left
// out, and finds the module the function belongs to (its __self__ is the module, or the method
// owner of its class). The module, borrowed; null with the error set. `made` keeps the
// default objects made on first use: immutable, they are shared by every module object.
PyObject* bind_call(const Parsed& parsed, const Signature& sig, PyObject** made, PyObject* owner,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);

// The C function Python calls: it binds the call, opens the scope of the function's module
// and runs the implementation.
template <Literal Sig, Impl<Sig>* F>
struct Entry {
  static constexpr Parsed kParsed = parse(Sig.text);
  static_assert(kParsed.ok, "RG_DEF: the text signature does not parse");
  static constexpr std::size_t kCount = static_cast<std::size_t>(kParsed.count);
  static constexpr auto kNames = names_of(kParsed, std::make_index_sequence<kCount>());
  static constexpr Signature kSignature{kParsed.name, kNames.names, kParsed.positional,
                                        kParsed.count, kParsed.required};
  static inline PyObject* made[kCount ? kCount : 1] = {};

  template <std::size_t... I>
  static Ref run(PyObject* const* a, std::index_sequence<I...>) {
    return F(a[I]...);
  }

  static PyObject* call(PyObject* owner, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    PyObject* a[kCount ? kCount : 1];
    PyObject* m = bind_call(kParsed, kSignature, made, owner, args, nargsf, kwnames, a);
    if (!m) return nullptr;
    ModuleScope scope(m, owner);
    return run(a, std::make_index_sequence<kCount>()).release();
  }
};

template <Kind K, Literal Sig, Impl<Sig>* F>
Def make_def(const char* doc) {
  using E = Entry<Sig, F>;
  return Def{{E::kParsed.name,
              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&E::call)),
              METH_FASTCALL | METH_KEYWORDS, doc},
             K};
}

}  // namespace declare

}  // namespace rg

// Declares `id`, the implementation that follows, and `id_def`, what the module body binds.
// Use at namespace rg scope (the module body finds `id_def` by name).
#define RG_DEF(kind, id, signature, doc)                                                    \
  static ::rg::declare::Impl<signature> id;                                                  \
  extern const ::rg::Def id##_def;                                                           \
  const ::rg::Def id##_def =                                                                 \
      ::rg::declare::make_def<::rg::Kind::kind, signature, id>(signature "\n--\n\n" doc);
