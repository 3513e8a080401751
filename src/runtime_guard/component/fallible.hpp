// Kept only for the upload plan until it moves to rg::Buffer (capi/buffer.hpp); then it goes.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#include "capi/py.hpp"

namespace rg {

template <class T>
class FallibleVector {
 public:
  FallibleVector() = default;
  FallibleVector(const FallibleVector&) = delete;
  FallibleVector& operator=(const FallibleVector&) = delete;
  ~FallibleVector() {
    destroy();
    PyMem_Free(data_);
  }

  // 0, or -1 with MemoryError set (as every growing call below)
  int reserve(std::size_t n) {
    if (n <= capacity_) return 0;
    if (n > PY_SSIZE_T_MAX / sizeof(T)) return no_memory();
    T* fresh = static_cast<T*>(PyMem_Malloc(n * sizeof(T)));
    if (!fresh) return no_memory();
    const std::size_t kept = size_;
    for (std::size_t i = 0; i < kept; ++i) new (fresh + i) T(std::move(data_[i]));
    destroy();
    PyMem_Free(data_);
    size_ = kept;
    data_ = fresh;
    capacity_ = n;
    return 0;
  }
  int push_back(T value) {
    if (size_ == capacity_) RG_CHECK_OK(reserve(capacity_ ? 2 * capacity_ : 16));
    new (data_ + size_) T(std::move(value));
    ++size_;
    return 0;
  }
  // n copies of `value`, replacing the contents.
  int assign(std::size_t n, const T& value) {
    destroy();
    RG_CHECK_OK(reserve(n));
    for (; size_ < n; ++size_) new (data_ + size_) T(value);
    return 0;
  }

  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  std::size_t size() const { return size_; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  static int no_memory() {
    PyErr_NoMemory();
    return -1;
  }
  void destroy() {
    for (std::size_t i = 0; i < size_; ++i) data_[i].~T();
    size_ = 0;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0, capacity_ = 0;
};

}  // namespace rg
