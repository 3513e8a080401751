// A small RAII layer over the CPython C API.
//
// Built with -fno-exceptions: errors travel as in CPython, a null Ref (or -1) with the error
// indicator set. TRY() propagates such a failure out of a function returning Ref/PyObject*.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace rg {

// An owned (strong) reference. Moving transfers ownership; the destructor drops it.
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* p) { return Ref::steal(p); }
inline Ref borrow(PyObject* p) { return Ref::borrow(p); }

// Standard-C++ forms of the same (new code uses these; TRY/TRY_INT below are compiler
// extensions on their way out):
//   RG_LET(x, expr);       Ref x = expr; on a null result return {} (null / empty Ref)
//   RG_LET_INT(x, expr);   same, returning -1
//   RG_CHECK(expr);        evaluate a Ref/pointer result; on null return {}
//   RG_CHECK_INT(expr);    same, returning -1
#define RG_LET(name, expr) \
  ::rg::Ref name = (expr); \
  if (!name) return {}
#define RG_LET_INT(name, expr) \
  ::rg::Ref name = (expr);     \
  if (!name) return -1
#define RG_CHECK(expr)        \
  do {                        \
    if (!(expr)) return {};   \
  } while (0)
#define RG_CHECK_INT(expr)    \
  do {                        \
    if (!(expr)) return -1;   \
  } while (0)

// Propagate a failed Ref/pointer result: `Ref x = TRY(expr);`
#define TRY(expr)                 \
  ({                              \
    auto _rg_try = (expr);        \
    if (!_rg_try) return {};      \
    std::move(_rg_try);           \
  })

// Same for functions returning int (-1 on error).
#define TRY_INT(expr)             \
  ({                              \
    auto _rg_try = (expr);        \
    if (!_rg_try) return -1;      \
    std::move(_rg_try);           \
  })

// An interned str made once per call site and kept for the life of the process.
#define S(lit)                                                   \
  ([]() -> PyObject* {                                           \
    static PyObject* _rg_s = PyUnicode_InternFromString(lit);    \
    return _rg_s;                                                \
  }())

inline PyObject* raw(const Ref& r) { return r.get(); }
inline PyObject* raw(PyObject* p) { return p; }

// ---- conversions -------------------------------------------------------------------------

inline Ref str(const char* s) { return steal(PyUnicode_FromString(s)); }
inline Ref integer(long long v) { return steal(PyLong_FromLongLong(v)); }
inline Ref floating(double v) { return steal(PyFloat_FromDouble(v)); }
inline Ref boolean(bool v) { return borrow(v ? Py_True : Py_False); }
inline Ref none() { return borrow(Py_None); }

// ---- attribute access and calls ------------------------------------------------------------

inline Ref attr(PyObject* o, PyObject* name) { return steal(PyObject_GetAttr(o, name)); }
inline Ref attr(const Ref& o, PyObject* name) { return attr(o.get(), name); }

template <class... A>
Ref call(PyObject* fn, const A&... args) {
  PyObject* argv[sizeof...(A) + 1] = {nullptr, raw(args)...};
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

// `import name` through the import system at the moment of use (sys.modules substitutes win).
inline Ref import(const char* dotted) { return steal(PyImport_ImportModule(dotted)); }

// `from module import name`
Ref import_from(const char* module, PyObject* name);

// ---- errors --------------------------------------------------------------------------------

// A handler for ordinary exceptions: when the raised error derives from Exception, take it
// (normalized, traceback attached) and clear the indicator; otherwise leave the indicator set
// (KeyboardInterrupt, SystemExit pass) and return null.
Ref catch_ordinary();

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

// Holds a Python lock object (threading.Lock or anything with acquire/release) for a scope,
// like `with lock:`. Check ok() after construction: acquire can fail.
class LockGuard {
 public:
  explicit LockGuard(PyObject* lock) : lock_(borrow(lock)) {
    Ref r = call_method(lock_, S("acquire"));
    ok_ = bool(r);
  }
  ~LockGuard() { unlock(); }
  bool ok() const { return ok_; }
  // Releases early; an error from release is reported like any other (returns false).
  bool unlock() {
    if (!ok_) return true;
    ok_ = false;
    if (PyErr_Occurred()) {
      ErrorStash keep;
      Ref r = call_method(lock_, S("release"));
      if (!r) PyErr_WriteUnraisable(lock_.get());
      return true;
    }
    return bool(call_method(lock_, S("release")));
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Ref lock_;
  bool ok_ = false;
};

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
