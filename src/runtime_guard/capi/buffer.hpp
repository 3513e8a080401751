// The one growable array: on the Python heap, so a failed growth is a MemoryError, never an
// abort (the build has no C++ exceptions). For trivially copyable items; needs the GIL to grow.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "capi/ref.hpp"

namespace rg {
template <class T>
class Buffer {
  static_assert(std::is_trivially_copyable_v<T>);
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { PyMem_Free(data_); }
  // Room for `more` items after the end, or null with MemoryError set; grow() then counts
  // the ones written.
  T* room(std::size_t more) {
    if (data_ && capacity_ - size_ >= more) return data_ + size_;
    std::size_t want = capacity_ ? capacity_ : 64 / sizeof(T) + 1;
    while (want - size_ < more && want <= PY_SSIZE_T_MAX / sizeof(T) / 2) want *= 2;
    T* grown = nullptr;
    if (want - size_ >= more) grown = static_cast<T*>(PyMem_Realloc(data_, want * sizeof(T)));
    if (!grown) return PyErr_NoMemory(), nullptr;
    data_ = grown;
    capacity_ = want;
    return data_ + size_;
  }
  void grow(std::size_t n) { size_ += n; }
  bool append(const T* items, std::size_t n) {
    T* at = room(n);
    if (!at) return false;
    if (n) std::memcpy(at, items, n * sizeof(T));
    size_ += n;
    return true;
  }
  bool push(T item) { return append(&item, 1); }
  void truncate(std::size_t n) { size_ = n; }
  void clear() { size_ = 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0, capacity_ = 0;
};
}  // namespace rg
