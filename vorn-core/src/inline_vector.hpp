// A vector of trivially copyable values that keeps its first N elements inside itself, so
// that a small document is parsed without touching the heap.
#pragma once

#include <algorithm>  // std::max
#include <cstddef>
#include <cstring>  // std::memcpy
#include <memory>   // std::allocator
#include <span>
#include <type_traits>
#include <utility>  // std::exchange

#include "assert.hpp"

namespace vorn {

/// Grows like std::vector past N elements. Moving it copies the inline elements, so views
/// into an inline vector do not survive a move, while views into a grown one do.
template <class T, std::size_t N>
class InlineVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  InlineVector() = default;
  InlineVector(const InlineVector&) = delete;
  InlineVector& operator=(const InlineVector&) = delete;
  InlineVector(InlineVector&& other) noexcept { take(other); }
  InlineVector& operator=(InlineVector&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~InlineVector() { release(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) {
    VORN_ASSERT(i < size_);
    return data()[i];
  }
  const T& operator[](std::size_t i) const {
    VORN_ASSERT(i < size_);
    return data()[i];
  }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  operator std::span<const T>() const { return {data(), size_}; }

  void reserve(std::size_t n) {
    if (n > capacity_) {
      grow(n);
    }
  }
  void push_back(const T& v) {
    if (size_ == capacity_) [[unlikely]] {
      grow(capacity_ * 2);
    }
    data_[size_++] = v;
  }
  /// Appends the elements of [first, last), which must not lie inside this vector.
  void append(const T* first, const T* last) {
    const auto n = static_cast<std::size_t>(last - first);
    if (size_ + n > capacity_) [[unlikely]] {
      // Geometric, as push_back: the parser appends each container's members as it
      // closes, so growing to the exact size made a long array of objects quadratic.
      grow(std::max(size_ + n, capacity_ * 2));
    }
    if (n != 0) {
      std::memcpy(static_cast<void*>(data() + size_), first, n * sizeof(T));
    }
    size_ += n;
  }
  /// Drops the elements from n on; n is at most size().
  void truncate(std::size_t n) {
    VORN_ASSERT(n <= size_);
    size_ = n;
  }

 private:
  T* inline_data() { return reinterpret_cast<T*>(inline_); }
  const T* inline_data() const { return reinterpret_cast<const T*>(inline_); }

  bool on_heap() const { return data_ != inline_data(); }

  [[gnu::noinline]] void grow(std::size_t n) {
    T* bigger = std::allocator<T>().allocate(n);
    if (size_ != 0) {
      std::memcpy(static_cast<void*>(bigger), data_, size_ * sizeof(T));
    }
    release();
    data_ = bigger;
    capacity_ = n;
  }

  void release() {
    if (on_heap()) {
      std::allocator<T>().deallocate(data_, capacity_);
      data_ = inline_data();
      capacity_ = N;
    }
  }

  void take(InlineVector& other) {
    size_ = other.size_;
    if (other.on_heap()) {
      data_ = std::exchange(other.data_, other.inline_data());
      capacity_ = std::exchange(other.capacity_, N);
    } else if (size_ != 0) {
      std::memcpy(inline_, other.inline_, size_ * sizeof(T));
    }
    other.size_ = 0;
  }

  alignas(T) unsigned char inline_[N * sizeof(T)];
  // Always the live storage, the inline array or the heap, so access costs no branch.
  T* data_ = inline_data();
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
};

}  // namespace vorn
