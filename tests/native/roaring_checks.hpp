// Test helper: a bitmap against the set it should hold, and its containers against CRoaring's own rules.
#pragma once

#include <gtest/gtest.h>
#include <roaring/roaring.h>

#include <cstdint>
#include <string>

#include "index/core/structures/bitmap.hpp"

namespace vostrel::testing {

// Checks the set and, where the chunk kernels build the containers themselves, that every container is stored as
// CRoaring expects: keys rising, an array of 1 to 4096 rising ids, a bitset of more than 4096 with its count right,
// or (where `other_kinds_allowed`, for bitmaps that start with them) a run or shared container. (The portable build
// leaves that to CRoaring, whose layout may differ from the one read here.)
inline void expect_same_bitmap(const Bitmap& got, const Bitmap& want, const std::string& where,
                               [[maybe_unused]] bool other_kinds_allowed = false) {
  ASSERT_EQ(got.cardinality(), want.cardinality()) << where;
  ASSERT_TRUE(got == want) << where;
#if VOSTREL_CONTAINER_KERNELS
  const roaring_array_t& ra = got.roaring.high_low_container;
  for (int32_t i = 0; i < ra.size; ++i) {
    if (i > 0) {
      ASSERT_LT(ra.keys[i - 1], ra.keys[i]) << where;
    }
    if (ra.typecodes[i] == ARRAY_CONTAINER_TYPE_CODE) {
      const auto* array = static_cast<const array_container_t*>(ra.containers[i]);
      EXPECT_GT(array->cardinality, 0) << where;
      EXPECT_LE(array->cardinality, 4096) << where;
      for (int32_t j = 1; j < array->cardinality; ++j) ASSERT_LT(array->array[j - 1], array->array[j]) << where;
    } else if (other_kinds_allowed && (ra.typecodes[i] == RUN_CONTAINER_TYPE_CODE ||
                                       ra.typecodes[i] == SHARED_CONTAINER_TYPE_CODE)) {
      continue;
    } else {
      ASSERT_EQ(ra.typecodes[i], BITSET_CONTAINER_TYPE_CODE) << where;
      const auto* bitset = static_cast<const bitset_container_t*>(ra.containers[i]);
      int32_t bits = 0;
      for (int w = 0; w < 1024; ++w) bits += __builtin_popcountll(bitset->array[w]);
      EXPECT_EQ(bitset->cardinality, bits) << where;
      EXPECT_GT(bits, 4096) << where;
    }
  }
#endif
}

}  // namespace vostrel::testing
