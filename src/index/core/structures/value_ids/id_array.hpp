// IdArray: the sorted ids of a value held by a few objects, in 16 bytes and one block sized to what it holds.
//
// An index keeps one such array per value held by two to LARGE_AT objects: a street, a postal code, a name. Where
// there are tens of thousands of those values every byte per value shows in the memory per object, most at a few
// hundred thousand objects, where each value holds only a handful of ids. A std::vector spends 24 bytes on itself
// and doubles its block, so that a set of 9 ids sits in room for 16; this one keeps a 32-bit size and capacity and
// grows by a quarter to capacities that fill the allocator's block sizes (8 bytes of header, 16-byte steps), so a
// set wastes a few ids' room at most. Growing more often costs little: these sets stay small.
//
// The ids are plain integers: the block moves with realloc, which may extend it in place. A failed allocation
// throws std::bad_alloc and leaves the array as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace vostrel {

class IdArray {
 public:
  IdArray() noexcept = default;
  IdArray(const IdArray&) = delete;
  IdArray& operator=(const IdArray&) = delete;
  IdArray(IdArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  IdArray& operator=(IdArray&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~IdArray() { std::free(data_); }

  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  uint32_t* data() noexcept { return data_; }
  const uint32_t* data() const noexcept { return data_; }
  uint32_t* begin() noexcept { return data_; }
  uint32_t* end() noexcept { return data_ + size_; }
  const uint32_t* begin() const noexcept { return data_; }
  const uint32_t* end() const noexcept { return data_ + size_; }
  uint32_t& operator[](size_t at) noexcept { return data_[at]; }
  uint32_t operator[](size_t at) const noexcept { return data_[at]; }
  uint32_t front() const noexcept { return data_[0]; }
  uint32_t back() const noexcept { return data_[size_ - 1]; }

  void push_back(uint32_t id) {
    if (size_ == capacity_) grow_to(grown(size_ + 1));
    data_[size_++] = id;
  }
  // Inserts `id` before `at` (a pointer into this array); returns where it went.
  uint32_t* insert(uint32_t* at, uint32_t id) {
    const size_t pos = static_cast<size_t>(at - data_);
    if (size_ == capacity_) grow_to(grown(size_ + 1));
    std::memmove(data_ + pos + 1, data_ + pos, (size_ - pos) * sizeof(uint32_t));
    data_[pos] = id;
    ++size_;
    return data_ + pos;
  }
  void erase(uint32_t* at) noexcept { erase(at, at + 1); }
  void erase(uint32_t* first, uint32_t* last) noexcept {
    std::memmove(first, last, static_cast<size_t>(end() - last) * sizeof(uint32_t));
    size_ -= static_cast<uint32_t>(last - first);
  }
  // New ids past the old size are left unset: every caller writes them next.
  void resize(size_t count) {
    if (count > capacity_) grow_to(fitted(count));
    size_ = static_cast<uint32_t>(count);
  }
  // Gives back the room beyond the ids (nothing changes when the smaller block cannot be had).
  void shrink_to_fit() noexcept {
    if (size_ == 0) {
      std::free(std::exchange(data_, nullptr));
      capacity_ = 0;
      return;
    }
    const uint32_t room = fitted(size_);
    if (room >= capacity_) return;
    if (void* smaller = std::realloc(data_, room * sizeof(uint32_t))) {
      data_ = static_cast<uint32_t*>(smaller);
      capacity_ = room;
    }
  }

 private:
  // The largest capacity of the allocator's block that `count` ids need: blocks are 16-byte steps of which 8 bytes
  // are the allocator's own, so 2, 6, 10, ... ids fill one exactly.
  static uint32_t fitted(size_t count) {
    const size_t bytes = count * sizeof(uint32_t);
    const size_t block = bytes <= 24 ? 32 : (bytes + 8 + 15) & ~size_t{15};
    return static_cast<uint32_t>((block - 8) / sizeof(uint32_t));
  }
  // A quarter more than `needed` (at least what it needs), fitted.
  static uint32_t grown(size_t needed) { return fitted(needed + needed / 4); }

  void grow_to(uint32_t room) {
    void* bigger = std::realloc(data_, room * sizeof(uint32_t));
    if (bigger == nullptr) throw std::bad_alloc();
    data_ = static_cast<uint32_t*>(bigger);
    capacity_ = room;
  }

  uint32_t* data_ = nullptr;
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;
};

}  // namespace vostrel
