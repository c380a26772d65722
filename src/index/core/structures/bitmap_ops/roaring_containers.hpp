// Read access to CRoaring's per-chunk containers, for kernels that walk bitmaps 65536 ids at a time.
//
// Reads the container layout of the CRoaring version we link (Debian's 0.2.66); revisit when upgrading it.
// Everything has internal linkage, so files built for different instruction sets never share a copy.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>

namespace vostrel {
namespace {

// One chunk's container of a bitmap, shared wrappers unwrapped; type 0 when absent.
struct ContainerView {
  const void* ptr = nullptr;
  uint8_t type = 0;
  explicit operator bool() const { return type != 0; }
};

ContainerView view_of(const void* container, uint8_t type) {
  if (type == SHARED_CONTAINER_TYPE_CODE) {
    const auto* shared = static_cast<const shared_container_t*>(container);
    return {shared->container, shared->typecode};
  }
  return {container, type};
}

// The container of `key`, searching from `cursor` (keys are visited in rising order, so the cursor only advances).
ContainerView find_container(const roaring_bitmap_t* bitmap, uint16_t key, int32_t& cursor) {
  const roaring_array_t& ra = bitmap->high_low_container;
  int32_t lo = cursor;
  int32_t hi = ra.size;
  if (lo < hi && ra.keys[lo] < key) {
    ++lo;
    while (lo < hi) {
      const int32_t mid = lo + (hi - lo) / 2;
      if (ra.keys[mid] < key) lo = mid + 1; else hi = mid;
    }
  }
  cursor = lo;
  if (lo >= ra.size || ra.keys[lo] != key) return {};
  return view_of(ra.containers[lo], ra.typecodes[lo]);
}

const bitset_container_t* as_bitset(ContainerView c) { return static_cast<const bitset_container_t*>(c.ptr); }
const array_container_t* as_array(ContainerView c) { return static_cast<const array_container_t*>(c.ptr); }
const run_container_t* as_run(ContainerView c) { return static_cast<const run_container_t*>(c.ptr); }

}  // namespace
}  // namespace vostrel
