// IdFilter against Bitmap::contains: sets dense and sparse, near both ends of the id range, and empty; probes inside,
// below and above the set's span.
#include "index/core/structures/id_filter/id_filter.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace vostrel {
namespace {

void expect_matches(const Bitmap& ids, std::mt19937& rng) {
  const IdFilter filter(ids);
  std::vector<uint32_t> probes = {0, 1, UINT32_MAX, UINT32_MAX - 1};
  if (!ids.isEmpty()) {
    for (uint32_t edge : {ids.minimum(), ids.maximum()}) {
      probes.push_back(edge);
      probes.push_back(edge - 1);
      probes.push_back(edge + 1);
    }
  }
  for (uint32_t id : ids) probes.push_back(id);
  for (int round = 0; round < 20000; ++round) {
    probes.push_back(ids.isEmpty() ? static_cast<uint32_t>(rng()) : ids.minimum() + rng() % 300000);
  }
  for (uint32_t id : probes) ASSERT_EQ(filter.contains(id), ids.contains(id)) << "id " << id;
  ASSERT_EQ(&filter.bitmap(), &ids);
}

TEST(IdFilter, DenseSetsUseBitsAndMatch) {
  std::mt19937 rng(1);
  for (uint32_t base : {0u, 1000u, 70000u, UINT32_MAX - 200000u}) {
    Bitmap ids;
    for (uint32_t offset = 0; offset < 200000; ++offset) {
      if (rng() % 10 == 0) ids.add(base + offset);
    }
    ids.add(base);  // the span starts exactly at the first id
    SCOPED_TRACE(base);
    expect_matches(ids, rng);
    EXPECT_TRUE(IdFilter(ids).is_dense());
  }
}

TEST(IdFilter, SparseSetsOverAWideSpanFallBackToTheBitmap) {
  std::mt19937 rng(2);
  Bitmap ids;
  for (int count = 0; count < 50; ++count) ids.add(static_cast<uint32_t>(rng()));
  ids.add(0);
  ids.add(UINT32_MAX);
  expect_matches(ids, rng);
  EXPECT_FALSE(IdFilter(ids).is_dense());
}

TEST(IdFilter, EmptyAndSingleSets) {
  std::mt19937 rng(3);
  Bitmap empty;
  expect_matches(empty, rng);
  for (uint32_t only : {0u, 12345u, UINT32_MAX}) {
    Bitmap one;
    one.add(only);
    expect_matches(one, rng);
  }
}

}  // namespace
}  // namespace vostrel
