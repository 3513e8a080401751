// A small RAII layer over the CPython C API: references and failures (ref.hpp, fail.hpp),
// interned literals, calls, errors, locks and the GIL.
#pragma once

#include "capi/buffer.hpp"
#include "capi/fail.hpp"
#include "capi/ref.hpp"

#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace rg {

// An interned str per distinct literal, made when the module is executed (intern_literals),
// so S() is never null once the module exists and no call site has to check it. Each literal
// registers itself when the library is loaded.
struct InternedSlot {
  const char* text;
  PyObject* value;
  InternedSlot* next;
};
void register_literal(InternedSlot* slot);
// Interns every registered literal not yet interned; -1 (MemoryError) when one cannot be made.
int intern_literals();

// A text as a template argument (S()'s, a declaration's signature): a string literal or a
// constexpr `const char*` naming one. Longer texts do not compile (the copy would overrun).
struct Literal {
  static constexpr std::size_t kCapacity = 96;
  char text[kCapacity] = {};
  constexpr Literal(const char* s) {
    std::size_t i = 0;
    for (; s[i]; ++i) text[i] = s[i];
    text[i] = '\0';
  }
};

template <Literal L>
struct Interned {
  static inline InternedSlot slot{L.text, nullptr, nullptr};
  static inline const bool registered = (register_literal(&slot), true);
  static PyObject* get() {
    (void)registered;
    return slot.value;
  }
};

#define S(lit) (::rg::Interned<lit>::get())

// ---- conversions -------------------------------------------------------------------------

inline Ref str(const char* s) { return steal(PyUnicode_FromString(s)); }
inline Ref integer(long long v) { return steal(PyLong_FromLongLong(v)); }
inline Ref floating(double v) { return steal(PyFloat_FromDouble(v)); }
inline Ref boolean(bool v) { return borrow(v ? Py_True : Py_False); }
inline Ref none() { return borrow(Py_None); }

// ---- attribute access and calls ------------------------------------------------------------

// A null argument (a failed step whose result was passed on unchecked) fails the call instead
// of reaching the interpreter; the failed step's error stays set.
Ref null_argument();
inline bool any_null(PyObject* const* argv, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!argv[i]) return true;
  return false;
}

inline Ref attr(PyObject* o, PyObject* name) {
  return o && name ? steal(PyObject_GetAttr(o, name)) : null_argument();
}
inline Ref attr(const Ref& o, PyObject* name) { return attr(o.get(), name); }

template <class... A>
Ref call(PyObject* fn, const A&... args) {
  PyObject* argv[sizeof...(A) + 1] = {nullptr, raw(args)...};
  if (!fn || any_null(argv + 1, sizeof...(A))) return null_argument();
  return steal(PyObject_Vectorcall(fn, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}
template <class... A>
Ref call(const Ref& fn, const A&... args) {
  return call(fn.get(), args...);
}

// obj.name(*args)
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, const A&... args) {
  PyObject* argv[sizeof...(A) + 1] = {obj, raw(args)...};
  if (!name || any_null(argv, sizeof...(A) + 1)) return null_argument();
  return steal(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}
template <class... A>
Ref call_method(const Ref& obj, PyObject* name, const A&... args) {
  return call_method(obj.get(), name, args...);
}

// A keyword argument for call_kw: {S("timeout"), value}
struct Kw {
  PyObject* name;
  PyObject* value;
};

// fn(*positional, **keywords); keyword order is kept.
Ref call_kw(PyObject* fn, std::initializer_list<PyObject*> positional, std::initializer_list<Kw> keywords);
inline Ref call_kw(const Ref& fn, std::initializer_list<PyObject*> positional,
                   std::initializer_list<Kw> keywords) {
  return call_kw(fn.get(), positional, keywords);
}

// {name: value, ...}, items in the order given (Kw's pairs used as a dict's items).
Ref dict_of(std::initializer_list<Kw> items);

// `value or fallback`: null (error set) when `value` is null or its truth test fails.
inline Ref or_else(Ref value, PyObject* fallback) {
  if (!value) return {};
  const int truth = PyObject_IsTrue(value.get());
  if (truth < 0) return {};
  return truth ? std::move(value) : borrow(fallback);
}

// ---- errors --------------------------------------------------------------------------------

// PyType_FromSpec, with a MemoryError where 3.11 returns null without one (its copy of the
// type's name failing to allocate).
PyObject* type_from_spec(PyType_Spec* type_spec);

// A handler for ordinary exceptions: when the raised error derives from Exception, take it
// (normalized, traceback attached) and clear the indicator; otherwise leave the indicator set
// (KeyboardInterrupt, SystemExit pass) and return null.
Ref catch_ordinary();
// The same for any exception, KeyboardInterrupt and SystemExit included: for a worker that
// hands what it raised to the thread that waits for it.
Ref catch_any();

// True when an error is set and it is an ordinary exception; such an error is cleared.
inline bool swallow_ordinary() {
  Ref e = catch_ordinary();
  return bool(e);
}

// Saves the error indicator for the scope of a cleanup step and restores it afterwards.
class ErrorStash {
 public:
  ErrorStash() { PyErr_Fetch(&t_, &v_, &tb_); }
  ~ErrorStash() { PyErr_Restore(t_, v_, tb_); }
  ErrorStash(const ErrorStash&) = delete;
  ErrorStash& operator=(const ErrorStash&) = delete;

 private:
  PyObject *t_ = nullptr, *v_ = nullptr, *tb_ = nullptr;
};

// ---- locks and the GIL ---------------------------------------------------------------------

// Makes `exc` the exception being handled (what sys.exc_info() reports) for a scope, as inside
// an `except` block; what the running frame's own slot held is put back afterwards.
//
// The getter reports the innermost exception being handled, which may sit in an outer slot (a
// generator's caller handling one) while the setter writes the running slot. Putting the
// reported one back into the running slot would leave it there for good (the generator would
// see its caller's exception after it resumes elsewhere), so the slot is probed first.
class Handling {
 public:
  explicit Handling(PyObject* exc) : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(nullptr);
    PyObject* below = PyErr_GetHandledException();
    own_ = below != previous_;  // the running slot itself held `previous_`
    Py_XDECREF(below);
    PyErr_SetHandledException(exc);
  }
  ~Handling() {
    PyErr_SetHandledException(own_ ? previous_ : nullptr);
    Py_XDECREF(previous_);
  }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyObject* previous_;
  bool own_ = true;
};

// A signal handler or a finalizer runs on the thread it interrupts. Should it come back for a
// plain lock that thread already holds (through a LockGuard further up its stack), waiting
// would be waiting for itself, forever.
bool held_by_this_thread(PyObject* lock);

// Keeps the cyclic collector from running for a scope: a collection runs finalizers, that is
// arbitrary Python code, on this thread. For short sections that keep the GIL throughout, so
// no other thread ever runs while collection is off.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

// `with lock:` for a scope, through the context-manager protocol (__enter__/__exit__ looked up
// on the type), so any object that offers it works. Check ok() after construction.
//
// Leaving on an error path passes the pending exception to __exit__, as a `with` block does.
// A C++ scope cannot resume after its error return, so the RAII form keeps the exception even
// when __exit__ returns true; with_lock() below honours that suppression.
//
// Entering a lock this thread already holds through a LockGuard fails with RuntimeError
// rather than waiting forever (see held_by_this_thread).
class LockGuard {
 public:
  explicit LockGuard(PyObject* manager);
  ~LockGuard() { leave(PyErr_Occurred() != nullptr, false); }
  bool ok() const { return bool(exit_); }
  // Leaves the block early; false when __exit__ raised (or the pending error stays set).
  bool unlock() { return leave(PyErr_Occurred() != nullptr, false) == 0; }
  // Leaves the block: `failed` says an exception is pending. 0 when the block completed, or its
  // exception was suppressed (only with may_suppress; the error is then cleared); -1 with the
  // error set otherwise.
  int leave(bool failed, bool may_suppress);
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Ref exit_;
  PyObject* held_ = nullptr;  // the manager, while this guard is noted as holding it
};

// with lock: body()   where body returns 0, or -1 with the error set. Returns 0 when the block
// completed or __exit__ suppressed its exception (execution goes on after the block, as in
// Python), -1 with the error set otherwise.
template <class Body>
int with_lock(PyObject* lock, Body&& body) {
  LockGuard held(lock);
  if (!held.ok()) return -1;
  const int result = body();
  return held.leave(result < 0, true);
}

// Releases the GIL for a scope of OS work that touches no Python object.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace rg
