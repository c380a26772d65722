// CenteredArray: insertion, removal and merge over four centred slots.
#include "index/core/structures/centered_array/centered_array.hpp"

#include <algorithm>

#include "index/core/structures/internal_error.hpp"

namespace vostrel {
namespace {

// Number of occupied ids smaller than id (the insertion point), by binary search.
size_t lower_position(const CenteredArray& a, uint32_t id) {
  const uint32_t* first = a.data.data() + a.start;
  return static_cast<size_t>(std::lower_bound(first, first + a.len, id) - first);
}

}  // namespace

void CenteredArray::insert(uint32_t id) {
  if (len >= CAPACITY) throw InternalError("CenteredArray full");

  // Re-centre only when one end has no free room, so that the shift below
  // always has a free slot on the side it moves towards.
  if (start == 0 || start + len >= CAPACITY) {
    const size_t centred = (CAPACITY - len) / 2;
    if (centred != start) {
      // Through a copy: the old and new ranges may overlap either way.
      std::array<uint32_t, CAPACITY> moved{};
      std::copy_n(data.data() + start, len, moved.data());
      std::copy_n(moved.data(), len, data.data() + centred);
      start = centred;
    }
  }

  const size_t p = lower_position(*this, id);
  if (p < len && data[start + p] == id) return;

  if (start > 0 && p < len / 2) {
    // Shift the (shorter) left part one slot to the left.
    std::copy_n(data.data() + start, p, data.data() + start - 1);
    --start;
  } else {
    std::copy_backward(data.data() + start + p, data.data() + start + len,
                       data.data() + start + len + 1);
  }
  data[start + p] = id;
  ++len;
}

bool CenteredArray::remove(uint32_t id) {
  const size_t p = lower_position(*this, id);
  if (p >= len || data[start + p] != id) return false;

  if (start + p < len / 2) {
    // Close the gap from the left: the ids before it move one slot right.
    std::copy_backward(data.data() + start, data.data() + start + p,
                       data.data() + start + p + 1);
    ++start;
  } else {
    std::copy(data.data() + start + p + 1, data.data() + start + len,
              data.data() + start + p);
  }
  --len;
  return true;
}

void CenteredArray::union_with(const CenteredArray& other) {
  std::array<uint32_t, CAPACITY> merged{};
  size_t count = 0;
  size_t i = start;
  size_t j = other.start;
  const size_t i_end = start + len;
  const size_t j_end = other.start + other.len;
  while (i < i_end || j < j_end) {
    uint32_t next;
    if (j >= j_end || (i < i_end && data[i] < other.data[j])) {
      next = data[i++];
    } else if (i >= i_end || other.data[j] < data[i]) {
      next = other.data[j++];
    } else {
      next = data[i];
      ++i;
      ++j;
    }
    if (count == CAPACITY) throw InternalError("CenteredArray full");
    merged[count++] = next;
  }

  data = merged;
  start = 0;
  len = count;
  if (count <= 2) {
    // Small results get room on both sides for the next insertions.
    const size_t centred = (CAPACITY - count) / 2;
    std::array<uint32_t, CAPACITY> moved{};
    std::copy_n(merged.data(), count, moved.data() + centred);
    data = moved;
    start = centred;
  }
}

bool CenteredArray::contains(uint32_t id) const {
  const size_t p = lower_position(*this, id);
  return p < len && data[start + p] == id;
}

}  // namespace vostrel
