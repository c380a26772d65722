// SmallString: text kept in place up to its inline size, else in a shared heap buffer.
#include "index/value.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "index/core/structures/fx_hash.hpp"
#include "index/object_record.hpp"
#include "index/core/structures/internal_error.hpp"
#include "index/types.hpp"
#include "index/errors.hpp"

namespace vostrel {

// ---- SmallString ----

// Header of a long string's buffer; the text bytes follow it.
struct SmallString::HeapBuffer {
  std::atomic<uint64_t> count;
  size_t size;
  const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
};

SmallString::SmallString(std::string_view text) {
  if (text.size() <= INLINE_CAPACITY) {
    std::memcpy(bytes_, text.data(), text.size());
    bytes_[INLINE_CAPACITY] = static_cast<unsigned char>(text.size());
    return;
  }
  void* memory = ::operator new(sizeof(HeapBuffer) + text.size());
  HeapBuffer* buffer = ::new (memory) HeapBuffer{{1}, text.size()};
  std::memcpy(buffer->data(), text.data(), text.size());
  set_heap(buffer);
}

SmallString::HeapBuffer* SmallString::heap() const noexcept {
  HeapBuffer* buffer;
  std::memcpy(&buffer, bytes_, sizeof(buffer));
  return buffer;
}

void SmallString::set_heap(HeapBuffer* buffer) noexcept {
  std::memcpy(bytes_, &buffer, sizeof(buffer));
  bytes_[INLINE_CAPACITY] = HEAP_TAG;
}

void SmallString::release() noexcept {
  if (is_inline()) return;
  HeapBuffer* buffer = heap();
  if (buffer->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::destroy_at(buffer);
    ::operator delete(buffer);
  }
  bytes_[INLINE_CAPACITY] = 0;
}

SmallString::SmallString(const SmallString& other) noexcept {
  std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
  if (!is_inline()) heap()->count.fetch_add(1, std::memory_order_relaxed);
}

SmallString::SmallString(SmallString&& other) noexcept {
  std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
  other.bytes_[INLINE_CAPACITY] = 0;
}

SmallString& SmallString::operator=(const SmallString& other) noexcept {
  if (this != &other) {
    SmallString copy(other);
    *this = std::move(copy);
  }
  return *this;
}

SmallString& SmallString::operator=(SmallString&& other) noexcept {
  if (this != &other) {
    release();
    std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
    other.bytes_[INLINE_CAPACITY] = 0;
  }
  return *this;
}

SmallString::~SmallString() { release(); }

std::string_view SmallString::view() const noexcept {
  if (is_inline()) return {reinterpret_cast<const char*>(bytes_), bytes_[INLINE_CAPACITY]};
  const HeapBuffer* buffer = heap();
  return {buffer->data(), buffer->size};
}

}  // namespace vostrel
