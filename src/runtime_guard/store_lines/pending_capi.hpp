// TEMPORARY: the ground-floor contract's names until main brings capi/ref.hpp, fail.hpp and
// buffer.hpp. Deleted at the merge.
#pragma once

#include <cstring>

#include "capi/py.hpp"

namespace rg {

enum class Answer : signed char { kFailed = -1, kNo = 0, kYes = 1 };
inline Answer answer(int r) { return r < 0 ? Answer::kFailed : r ? Answer::kYes : Answer::kNo; }

template <class T>
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { PyMem_Free(data_); }
  T* room(std::size_t more) {
    if (data_ && cap_ - size_ >= more) return data_ + size_;
    std::size_t want = cap_ ? cap_ : 256;
    while (want < size_ + more) want *= 2;
    T* fresh = static_cast<T*>(PyMem_Realloc(data_, want * sizeof(T)));
    if (!fresh) return PyErr_NoMemory(), nullptr;
    data_ = fresh;
    cap_ = want;
    return data_ + size_;
  }
  void grow(std::size_t n) { size_ += n; }
  bool push(T v) { return append(&v, 1); }
  bool append(const T* p, std::size_t n) {
    T* at = room(n);
    if (!at) return false;
    if (n) std::memcpy(at, p, n * sizeof(T));
    size_ += n;
    return true;
  }
  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  void truncate(std::size_t n) { size_ = n; }
  void clear() { size_ = 0; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0, cap_ = 0;
};

class Str : public Ref {
 public:
  Str() = default;
  static Str probe_exact(PyObject* o) { return o && PyUnicode_CheckExact(o) ? Str(Py_NewRef(o)) : Str(); }
  static Str fresh(PyObject* p) { return Str(p); }
  Py_ssize_t size() const { return PyUnicode_GET_LENGTH(get()); }
  int kind() const { return PyUnicode_KIND(get()); }
  void* data() const { return PyUnicode_DATA(get()); }
  Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ_CHAR(get(), i); }
  bool is_ascii() const { return PyUnicode_IS_ASCII(get()); }
 private:
  explicit Str(PyObject* p) : Ref(steal(p)) {}
};

class Dict : public Ref {
 public:
  Dict() = default;
  static Dict probe_exact(PyObject* o) { return o && PyDict_CheckExact(o) ? Dict(Py_NewRef(o)) : Dict(); }
  static Dict fresh(PyObject* p) { return Dict(p); }
 private:
  explicit Dict(PyObject* p) : Ref(steal(p)) {}
};

}  // namespace rg
