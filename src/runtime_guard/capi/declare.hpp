// RG_DEF: one declaration per exported function or method, beside its implementation. The text
// signature gives the name, the binding (with the interpreter's TypeError messages), literal
// defaults and `__text_signature__`; the implementation takes a borrowed PyObject* per parameter.
// The ordinal is the definition's place in its body (module functions or class members).
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "capi/scope.hpp"
#include "capi/guard.hpp"

namespace rg {
// Python's binding of fast-call arguments to the parameters of a `def`, with the interpreter's
// TypeError messages: keywords first, then the positional count, then what is missing.
// def <name>(names[0], ..., names[positional - 1], *, names[positional], ...)
struct Signature {
  const char* name;  // as its __qualname__ has it: "_flush", "report_open.<locals>._worker"
  const char* const* names;
  Py_ssize_t positional;  // the first ones may be passed by position or by keyword
  Py_ssize_t count;
  unsigned required;  // bit i: names[i] has no default
};
// Fills out[0..count) with borrowed values, null where a parameter with a default was left
// out. -1 with Python's TypeError when the call does not match. The messages of a builtin
// method (`owner`, its __self__, not a module) name its class as its __qualname__ does:
// "RuntimeGuarder._flush() takes ...". `owner` may be null.
int bind_arguments(const Signature& sig, PyObject* owner, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
enum class Kind { Function, Method, StaticMethod };
struct Def { PyMethodDef method; Kind kind; };
namespace declare {
enum class Body { Module, Class };
inline constexpr int kMaxOrdinal = 32;
inline constexpr std::size_t kMaxParameters = 6;
bool enter(const Def& def, int ordinal);  // at load time, before any import
// A text signature cut into NUL-terminated parts: the function's name at 0, each parameter's
// name at `param[i]` and its default's text at `fallback[i]` (0: none).
struct Parsed {
  char text[Literal::kCapacity] = {};
  unsigned char param[kMaxParameters] = {}, fallback[kMaxParameters] = {};
  Py_ssize_t count = 0, positional = 0;
  unsigned required = 0;
  bool ok = false;
};
constexpr bool is_name_char(char c) {
  return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
// None, True, False, or a decimal number: the defaults a binding makes when first needed.
constexpr bool is_literal(std::string_view d) {
  if (d == "None" || d == "True" || d == "False") return true;
  if (d.starts_with('-')) d.remove_prefix(1);
  return !d.empty() && d.find_first_not_of("0123456789.") == d.npos && d.find('.') == d.rfind('.');
}
// "name(a, b=None, *, c, d=2)"; `ok` is false for anything else.
constexpr Parsed parse(const char* s) {
  Parsed r;
  std::size_t i = 0;
  for (; s[i]; ++i) r.text[i] = s[i];
  auto name = [&] {
    const std::size_t start = i;
    while (is_name_char(r.text[i])) ++i;
    return i > start && !(r.text[start] >= '0' && r.text[start] <= '9');
  };
  i = 0;
  if (!name() || r.text[i] != '(') return r;
  r.text[i++] = '\0';
  bool keyword_only = false;
  for (bool first = true; r.text[i] != ')'; first = false) {
    if (!first) {
      if (r.text[i] != ',' || r.text[i + 1] != ' ') return r;
      r.text[i] = '\0';
      i += 2;
    }
    if (r.text[i] == '*' && r.text[i + 1] == ',' && !keyword_only) {
      keyword_only = true;
      ++i;
      continue;
    }
    if (r.count == kMaxParameters) return r;
    r.param[r.count] = static_cast<unsigned char>(i);
    if (!name()) return r;
    if (r.text[i] == '=') {
      r.text[i++] = '\0';
      r.fallback[r.count] = static_cast<unsigned char>(i);
      while (is_name_char(r.text[i]) || r.text[i] == '-' || r.text[i] == '.') ++i;
      if (!is_literal({r.text + r.fallback[r.count], i - r.fallback[r.count]})) return r;
    } else {
      r.required |= 1u << r.count;
    }
    if (!keyword_only) r.positional = r.count + 1;
    ++r.count;
  }
  r.text[i] = '\0';
  r.ok = s[i + 1] == '\0';
  return r;
}

// What a parameter count makes: the implementation's type Ref(PyObject*, ..., PyObject*), the
// names as the binder takes them, and the call of the implementation with the bound values.
template <std::size_t... I>
struct Arity {
  using Impl = Ref(decltype(I, (PyObject*)nullptr)...);
  struct Names { const char* names[sizeof...(I) ? sizeof...(I) : 1]; };
  static constexpr Names names(const Parsed& p) { return {{p.text + p.param[I]...}}; }
  static Ref run(Impl* f, [[maybe_unused]] PyObject* const* a) { return f(a[I]...); }
};
template <std::size_t... I>
Arity<I...> arity(std::index_sequence<I...>);
template <Literal Sig>
using ArityOf = decltype(arity(std::make_index_sequence<std::size_t(parse(Sig.text).count)>()));
template <Literal Sig>
using Impl = typename ArityOf<Sig>::Impl;
// Binds a call, each default in place of a parameter left out (`made`: the numbers made on
// first use, shared by all module objects); the function's module, borrowed, or null.
PyObject* bind_call(const Parsed& parsed, const Signature& sig, PyObject** made, PyObject* owner,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);
// The C function Python calls: binds the call, opens its module's scope, runs the implementation.
template <Literal Sig, Impl<Sig>* F>
struct Entry {
  static constexpr Parsed kParsed = parse(Sig.text);
  static_assert(kParsed.ok, "RG_DEF: the text signature does not parse");
  static constexpr auto kNames = ArityOf<Sig>::names(kParsed);
  static constexpr Signature kSignature{kParsed.text, kNames.names, kParsed.positional,
                                        kParsed.count, kParsed.required};
  static inline PyObject* made[kMaxParameters] = {};
  static PyObject* call(PyObject* owner, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    PyObject* a[kMaxParameters];
    PyObject* m = bind_call(kParsed, kSignature, made, owner, args, nargsf, kwnames, a);
    if (!m) return nullptr;
    ModuleScope scope(m, owner);
    return ArityOf<Sig>::run(F, a).release();
  }
};
template <Kind K, int N, Literal Sig, Impl<Sig>* F>
bool declare(const char* doc) {
  static_assert(N >= 1 && N <= kMaxOrdinal, "RG_DEF: ordinal out of range");
  using E = Entry<Sig, F>;
  static const Def def{{E::kParsed.text,
                        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&E::call)),
                        METH_FASTCALL | METH_KEYWORDS, doc},
                       K};
  return enter(def, N);
}
}  // namespace declare

// Binds `body`'s declarations `first`..`last` (0: to the end) into `dict` in order, as builtins
// whose __self__ is `owner` (the module, or the class's method owner); a hole is a SystemError.
int bind_declared(declare::Body body, PyObject* dict, PyObject* owner, const char* module_name,
                  int first, int last = 0);
// The `__self__` of RuntimeGuarder's methods: their module, their class (what `super()` names),
// and a type named "RuntimeGuarder", so `__qualname__` reads "RuntimeGuarder.initialize".
Ref new_method_owner(PyObject* module);
void set_owner_class(PyObject* owner, PyObject* cls);
// The class the running method was defined in, borrowed; null with SystemError set if none.
PyObject* defining_class();
}  // namespace rg

// Declares `id`, the implementation that follows, and enters it in its body's table.
#define RG_DEF(kind, ordinal, id, signature, doc)                                     \
  static ::rg::declare::Impl<signature> id;                                            \
  [[maybe_unused]] static const bool id##_declared =                                   \
      ::rg::declare::declare<::rg::Kind::kind, ordinal, signature, id>(signature "\n--\n\n" doc);
