// Containers for the store's merge whose growth fails as MemoryError. The build has no C++
// exceptions, so a std container that cannot allocate ends the process; these allocate from
// the Python heap (the GIL is held) and report a failed allocation as Python does.
#pragma once

#include <cstddef>
#include <functional>
#include <new>
#include <string_view>
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

// Lines are looked up by their length, head and tail only: rows differ within their first few
// hundred bytes (id, times, flags come before the log text), and hashing every byte of a full
// store three times would cost more than the write. Equal keys are told apart by a full compare.
struct LineHash {
  std::size_t operator()(std::string_view line) const {
    constexpr std::size_t kHead = 256, kTail = 64;
    if (line.size() <= kHead + kTail) return std::hash<std::string_view>()(line);
    std::size_t head = std::hash<std::string_view>()(line.substr(0, kHead));
    std::size_t tail = std::hash<std::string_view>()(line.substr(line.size() - kTail));
    return head ^ (tail * 0x9E3779B97F4A7C15ull) ^ line.size();
  }
};

// Text -> index for a number of entries known in advance: open addressing in one allocation,
// never resized. Keys are views; what they view must outlive the index.
template <class Hash = std::hash<std::string_view>>
class LineIndex {
 public:
  // 0, or -1 with MemoryError set
  int init(std::size_t entries) {
    std::size_t n = 16;
    while (n < 2 * entries) n *= 2;
    mask_ = n - 1;
    return slots_.assign(n, Slot{});
  }
  // Sets the index of `key` (the last one set wins).
  void set(std::string_view key, Py_ssize_t value) {
    Slot& s = slot(key);
    s.key = key;
    s.value = value;
  }
  // -1 when absent
  Py_ssize_t find(std::string_view key) const { return const_cast<LineIndex*>(this)->slot(key).value; }

 private:
  struct Slot {
    std::string_view key;
    Py_ssize_t value = -1;
  };
  Slot& slot(std::string_view key) {
    std::size_t i = Hash()(key) & mask_;
    while (slots_[i].value >= 0 && slots_[i].key != key) i = (i + 1) & mask_;
    return slots_[i];
  }

  FallibleVector<Slot> slots_;
  std::size_t mask_ = 0;
};

}  // namespace rg
