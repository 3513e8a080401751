// References to Python objects: owned (Ref) and typed (Str, Bytes, List, Tuple, Dict).
//
// Rules of use:
// 1. A function that makes an object returns a Ref or a typed reference; empty means failed,
//    with the error set. A PyObject* parameter or container item is borrowed.
// 2. A step that makes nothing returns int: 0 done, -1 failed with the error set.
// 3. A question that can fail returns Answer (fail.hpp), never a 1/0/-1 int.
// 4. The unchecked macros (PyList_GET_ITEM, PyUnicode_DATA, ...) appear only in this file:
//    a typed reference is made by a check, or by a constructor of its type, so its accessors
//    never see an object a host substituted.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace rg {
// An owned (strong) reference. Moving transfers ownership; the destructor drops it.
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) : p_(o.release()) {}
  Ref& operator=(Ref&& o) {
    Ref old(o.release());  // dropped last, so a self-move keeps its object
    std::swap(p_, old.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) { return Ref(Py_XNewRef(p)); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};
inline Ref steal(PyObject* p) { return Ref::steal(p); }
inline Ref borrow(PyObject* p) { return Ref::borrow(p); }
inline PyObject* raw(const Ref& r) { return r.get(); }
inline PyObject* raw(PyObject* p) { return p; }

// A Ref whose object passed Kind's check once (CRTP: the factories return Self).
template <class Self, class Kind>
class Typed : public Ref {
 public:
  // `o` typed, or empty with TypeError set; an empty `o` stays empty with its error.
  static Self of(Ref o) {
    if (o && !Kind::is(o.get())) {
      PyErr_Format(PyExc_TypeError, "expected %s, not %.200s", Kind::name,
                   Py_TYPE(o.get())->tp_name);
      return Self();
    }
    return adopt(static_cast<Ref&&>(o));
  }
  static Self borrowed(PyObject* o) { return of(borrow(o)); }
  // Typed when `o` is of the type (exactly, for probe_exact); else empty, no error set.
  static Self probe(PyObject* o) { return o && Kind::is(o) ? adopt(borrow(o)) : Self(); }
  static Self probe_exact(PyObject* o) {
    return o && Kind::is_exact(o) ? adopt(borrow(o)) : Self();
  }
  // The result of a constructor that returns exactly this type (null: its error is set).
  static Self fresh(PyObject* p) { return adopt(steal(p)); }

 private:
  static Self adopt(Ref&& o) {
    Self s;
    static_cast<Ref&>(s) = static_cast<Ref&&>(o);
    return s;
  }
};

#define RG_TYPED(Name, text, CHECK, EXACT)                            \
  struct Name##Kind {                                                 \
    static constexpr const char* name = text;                         \
    static bool is(PyObject* o) { return CHECK(o); }                  \
    static bool is_exact(PyObject* o) { return EXACT(o); }            \
  };                                                                  \
  class Name : public Typed<Name, Name##Kind>
RG_TYPED(Str, "str", PyUnicode_Check, PyUnicode_CheckExact) {
 public:
  Py_ssize_t size() const { return PyUnicode_GET_LENGTH(get()); }
  int kind() const { return PyUnicode_KIND(get()); }
  const void* data() const { return PyUnicode_DATA(get()); }
  Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ_CHAR(get(), i); }
  bool is_ascii() const { return PyUnicode_IS_ASCII(get()); }
  Py_UCS4 max_char() const { return PyUnicode_MAX_CHAR_VALUE(get()); }
  // A fresh string's storage, filled before anyone else sees it.
  void* writable() { return PyUnicode_DATA(get()); }
};
RG_TYPED(Bytes, "bytes", PyBytes_Check, PyBytes_CheckExact) {
 public:
  const char* data() const { return PyBytes_AS_STRING(get()); }
  char* writable() { return PyBytes_AS_STRING(get()); }
  Py_ssize_t size() const { return PyBytes_GET_SIZE(get()); }
};
// Items are borrowed; set() steals `v` into an empty slot of a fresh container.
#define RG_SEQUENCE(Name, text, Prefix)                                                 \
  RG_TYPED(Name, text, Prefix##_Check, Prefix##_CheckExact) {                           \
   public:                                                                              \
    Py_ssize_t size() const { return Prefix##_GET_SIZE(get()); }                        \
    PyObject* at(Py_ssize_t i) const { return Prefix##_GET_ITEM(get(), i); }            \
    void set(Py_ssize_t i, Ref v) { Prefix##_SET_ITEM(get(), i, v.release()); }         \
  }
RG_SEQUENCE(List, "list", PyList);
RG_SEQUENCE(Tuple, "tuple", PyTuple);
#undef RG_SEQUENCE
RG_TYPED(Dict, "dict", PyDict_Check, PyDict_CheckExact) {
 public:
  Py_ssize_t size() const { return PyDict_GET_SIZE(get()); }
};
#undef RG_TYPED
}  // namespace rg
