// CenteredArray: a four-slot sorted set of u32 ids kept in the middle of its buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vostrel {

// The occupied slots data[start .. start+len) are strictly ascending and
// start + len <= 4. Keeping them centred lets an insertion or removal shift
// only the shorter side. A zero-filled value is a valid empty array.
struct CenteredArray {
  static constexpr size_t CAPACITY = 4;

  std::array<uint32_t, CAPACITY> data{};
  size_t start = 0;
  size_t len = 0;

  // Adds id if absent; throws InternalError("CenteredArray full") when len is
  // already 4 (even for an id that is present).
  void insert(uint32_t id);

  // Deletes id if present; returns true when it was present. Never re-centres.
  bool remove(uint32_t id);

  // Merges other's ids into this array. The merged count must fit in 4 slots
  // (callers only merge arrays whose lengths add up to at most 4); a larger
  // merge throws InternalError("CenteredArray full") and leaves this unchanged.
  void union_with(const CenteredArray& other);

  // True when id is held.
  bool contains(uint32_t id) const;

  // The occupied slots, ascending.
  std::span<const uint32_t> slots() const { return {data.data() + start, len}; }

  bool empty() const { return len == 0; }
};

}  // namespace vostrel
