// A growable array of plain values for decoded output. Unlike std::vector it
// never initialises what it grows (every element is written before it is
// read). Large blocks (32 MiB on) are mapped on their own, aligned for huge
// pages and marked for them, and grow by moving their pages to a larger
// mapping instead of copying: writing hundreds of megabytes of columns costs
// a few hundred page faults instead of a hundred thousand, and growing never
// holds two copies. Released blocks from 64 KiB on are kept a few seconds for
// the next output (see pod_vector.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace vantrel {

namespace pod_block {
// A block of at least `wanted` bytes (its size in `granted`) holding the
// first `used` bytes of `data`, a block of `capacity` bytes from here (or
// null), which it replaces. Throws std::bad_alloc.
void* resize(void* data, std::size_t used, std::size_t capacity, std::size_t wanted, std::size_t& granted);
// Frees a block of `capacity` bytes from resize (null: nothing).
void release(void* data, std::size_t capacity) noexcept;
}  // namespace pod_block

template <class T>
class PodVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
  // Block sizes stay whole multiples of the element size.
  static_assert(sizeof(T) <= 16 && (sizeof(T) & (sizeof(T) - 1)) == 0);

 public:
  using value_type = T;

  PodVector() = default;
  PodVector(const PodVector&) = delete;
  PodVector& operator=(const PodVector&) = delete;
  PodVector(PodVector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        owned_(std::exchange(other.owned_, true)) {}
  PodVector& operator=(PodVector&& other) noexcept {
    if (this != &other) {
      if (owned_) pod_block::release(data_, capacity_ * sizeof(T));
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      owned_ = std::exchange(other.owned_, true);
    }
    return *this;
  }
  ~PodVector() {
    if (owned_) pod_block::release(data_, capacity_ * sizeof(T));
  }

  // A vector over the elements [0, capacity) of memory it does not own, the
  // first `size` of them counted in (and left alone): several writers fill
  // their own ranges of one array. It never grows (that throws
  // std::length_error) and frees nothing.
  static PodVector window(T* data, std::size_t size, std::size_t capacity) {
    PodVector out;
    out.data_ = data;
    out.size_ = size;
    out.capacity_ = capacity;
    out.owned_ = false;
    return out;
  }
  bool owned() const { return owned_; }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }
  const T& back() const { return data_[size_ - 1]; }

  void push_back(T value) {
    if (size_ == capacity_) [[unlikely]] grow(1);
    data_[size_++] = value;
  }
  // Counts in `count` elements the caller wrote past end() (within capacity()).
  void commit(std::size_t count) { size_ += count; }
  // `count` copies of `value` at the end.
  void append(std::size_t count, T value) { std::fill_n(extend(count), count, value); }
  // The values of [first, last) at the end.
  void append(const T* first, const T* last) {
    const auto count = static_cast<std::size_t>(last - first);
    if (count != 0) std::memcpy(extend(count), first, count * sizeof(T));
  }
  // Makes room for `count` more elements, counts them in and returns the
  // first: the caller writes all of them before anything reads them.
  T* extend(std::size_t count) {
    if (count > capacity_ - size_) grow(count);
    T* first = data_ + size_;
    size_ += count;
    return first;
  }
  // Room for `count` more elements without growing again.
  void reserve_more(std::size_t count) {
    if (count > capacity_ - size_) grow(count);
  }
  void reserve(std::size_t count) {
    if (count > capacity_) reallocate(count);
  }
  // Keeps the first `count` elements (no effect when there are fewer).
  void truncate(std::size_t count) { size_ = std::min(size_, count); }
  void clear() { size_ = 0; }
  // Gives back the capacity beyond size() (a window keeps its range).
  void shrink_to_fit() {
    if (capacity_ == size_ || !owned_) return;
    reallocate(size_);
  }

 private:
  // At least `more` elements beyond size(), doubling the capacity.
  void grow(std::size_t more) {
    constexpr std::size_t MAX = std::numeric_limits<std::size_t>::max() / sizeof(T);
    if (more > MAX - size_) throw std::length_error("column too long");
    const std::size_t needed = size_ + more;
    const std::size_t doubled = capacity_ > MAX / 2 ? MAX : capacity_ * 2;
    reallocate(std::max({needed, doubled, std::size_t{16}}));
  }
  void reallocate(std::size_t count) {
    if (!owned_) throw std::length_error("window full");
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::length_error("column too long");
    std::size_t granted = 0;
    data_ = static_cast<T*>(
        pod_block::resize(data_, size_ * sizeof(T), capacity_ * sizeof(T), count * sizeof(T), granted));
    capacity_ = granted / sizeof(T);
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool owned_ = true;  // false: a window
};

}  // namespace vantrel
