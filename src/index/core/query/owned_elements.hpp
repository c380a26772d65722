// OwnedElements: the element ids one owner's list, tuple or set holds in a value map, and the captured iterable
// they came from.
//
// One counted copy of the iterable stands for all of its members: removal reads each member's value back from it
// (captured members never change, whatever happens to the container since), and the element ids follow in member
// order. Up to two ids stay in place, as most lists are short; more take one heap array of exactly their number.
// With the owner's key that is one 32-byte table slot and, for a short list, no allocation: a record per member
// (its element id beside a copy of the member) cost a heap block per list of 24 bytes a member.
//
// No lock of its own: the value map's translation lock guards it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "index/value.hpp"

namespace vostrel {

class OwnedElements {
 public:
  static constexpr size_t IN_PLACE = 2;

  OwnedElements() noexcept {}
  // Holds `iterable` (an Iterable value with members) with room for one element id per member, each 0 until set.
  // Throws std::bad_alloc, holding nothing.
  explicit OwnedElements(const PyValue& iterable) {
    const size_t count = members_of(iterable).size();
    if (count > IN_PLACE) ids_.heap = std::allocator<uint32_t>().allocate(count);
    for (size_t at = 0; at < count; ++at) (count > IN_PLACE ? ids_.heap : ids_.in_place)[at] = 0;
    iterable_ = iterable;
  }
  OwnedElements(OwnedElements&& other) noexcept : ids_(other.ids_) { iterable_ = std::move(other.iterable_); }
  OwnedElements& operator=(OwnedElements&& other) noexcept {
    if (this != &other) {
      release();
      ids_ = other.ids_;
      iterable_ = std::move(other.iterable_);  // leaves `other` without members, so it frees nothing
    }
    return *this;
  }
  OwnedElements(const OwnedElements&) = delete;
  OwnedElements& operator=(const OwnedElements&) = delete;
  ~OwnedElements() { release(); }

  // The captured iterable (a counted copy: see PyValue::count_index_copy) and its members, in element order.
  const PyValue& iterable() const noexcept { return iterable_; }
  std::span<const PyValue> members() const noexcept { return members_of(iterable_); }
  size_t size() const noexcept { return members().size(); }

  std::span<const uint32_t> elements() const noexcept {
    const size_t count = size();
    return {count > IN_PLACE ? ids_.heap : ids_.in_place, count};
  }
  void set(size_t at, uint32_t element) noexcept { (size() > IN_PLACE ? ids_.heap : ids_.in_place)[at] = element; }

  // Gives up the iterable (to be dropped after unlocking) and the ids, leaving this empty.
  PyValue take_iterable() noexcept {
    release_ids();
    return std::exchange(iterable_, PyValue());
  }

 private:
  static std::span<const PyValue> members_of(const PyValue& value) noexcept {
    if (value.kind() != ValueKind::Iterable) return {};
    return value.as_iterable().members();
  }
  void release_ids() noexcept {
    const size_t count = size();
    if (count > IN_PLACE) std::allocator<uint32_t>().deallocate(ids_.heap, count);
    ids_.heap = nullptr;
  }
  void release() noexcept {
    release_ids();
    iterable_ = PyValue();
  }

  PyValue iterable_;
  union Ids {
    uint32_t in_place[IN_PLACE];
    uint32_t* heap;
  } ids_{};
};
static_assert(sizeof(OwnedElements) == 24);

}  // namespace vostrel
