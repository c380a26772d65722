// CenteredArray: slot layout of the documented cases and random runs against std::set.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "index/core/structures/centered_array/centered_array.hpp"
#include "index/core/structures/internal_error.hpp"

namespace vostrel {
namespace {

std::vector<uint32_t> ids(const CenteredArray& a) { return {a.slots().begin(), a.slots().end()}; }

CenteredArray make(std::initializer_list<uint32_t> values) {
  CenteredArray a;
  for (uint32_t v : values) a.insert(v);
  return a;
}

TEST(CenteredArray, InsertShiftsAndRecentres) {
  CenteredArray a;
  a.insert(10);
  EXPECT_EQ(a.start, 2u);
  EXPECT_EQ(a.len, 1u);
  EXPECT_EQ(a.data[2], 10u);
  a.insert(5);
  EXPECT_EQ(a.start, 2u);
  EXPECT_EQ(a.data[2], 5u);
  EXPECT_EQ(a.data[3], 10u);
  a.insert(7);
  EXPECT_EQ(a.start, 1u);
  EXPECT_EQ(a.len, 3u);
  EXPECT_EQ((std::vector<uint32_t>{a.data[1], a.data[2], a.data[3]}), (std::vector<uint32_t>{5, 7, 10}));
}

TEST(CenteredArray, FullArrayRefusesEvenDuplicates) {
  CenteredArray a = make({1, 2, 3, 4});
  EXPECT_EQ(a.start, 0u);
  EXPECT_EQ(a.len, 4u);
  for (uint32_t extra : {5u, 3u}) {
    try {
      a.insert(extra);
      FAIL() << "insert into a full array succeeded";
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), "CenteredArray full");
    }
  }
  EXPECT_EQ(ids(a), (std::vector<uint32_t>{1, 2, 3, 4}));
}

TEST(CenteredArray, RemoveAbsentKeepsLayout) {
  CenteredArray a = make({0, 0xFFFFFFFFu, 7});
  const size_t start = a.start;
  EXPECT_FALSE(a.remove(8));
  EXPECT_EQ(a.start, start);
  EXPECT_EQ(a.len, 3u);
  EXPECT_EQ(ids(a), (std::vector<uint32_t>{0, 7, 0xFFFFFFFFu}));  // unsigned order
}

TEST(CenteredArray, UnionLayout) {
  CenteredArray a = make({1, 3});
  a.union_with(make({2, 3}));
  EXPECT_EQ(ids(a), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(a.start, 0u);

  CenteredArray empty;
  empty.union_with(make({7}));
  EXPECT_EQ(ids(empty), (std::vector<uint32_t>{7}));
  EXPECT_EQ(empty.start, 1u);

  CenteredArray three = make({1, 2, 3});
  EXPECT_THROW(three.union_with(make({4, 5})), InternalError);
  EXPECT_EQ(ids(three), (std::vector<uint32_t>{1, 2, 3}));  // unchanged by the failed merge
}

void expect_valid(const CenteredArray& a, const std::set<uint32_t>& model) {
  ASSERT_LE(a.start + a.len, CenteredArray::CAPACITY);
  ASSERT_EQ(ids(a), std::vector<uint32_t>(model.begin(), model.end()));
}

TEST(CenteredArray, RandomOpsMatchSet) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 2000; ++round) {
    CenteredArray a;
    std::set<uint32_t> model;
    for (int step = 0; step < 40; ++step) {
      const uint32_t id = rng() % 8 == 0 ? 0xFFFFFFFFu - rng() % 3 : rng() % 10;
      if (rng() % 2 == 0) {
        if (model.size() == CenteredArray::CAPACITY) {
          EXPECT_THROW(a.insert(id), InternalError);
        } else {
          a.insert(id);
          model.insert(id);
        }
      } else {
        EXPECT_EQ(a.remove(id), model.erase(id) == 1);
      }
      expect_valid(a, model);
      EXPECT_EQ(a.contains(id), model.contains(id));
    }
  }
}

TEST(CenteredArray, RandomUnionsMatchSet) {
  std::mt19937 rng(99);
  for (int round = 0; round < 5000; ++round) {
    CenteredArray a, b;
    std::set<uint32_t> model;
    const size_t na = rng() % 5;
    const size_t nb = rng() % (5 - na);
    for (size_t i = 0; i < na; ++i) a.insert(rng() % 12);
    for (size_t i = 0; i < nb; ++i) b.insert(rng() % 12);
    for (uint32_t v : a.slots()) model.insert(v);
    for (uint32_t v : b.slots()) model.insert(v);
    a.union_with(b);
    expect_valid(a, model);
    EXPECT_EQ(a.start, model.size() <= 2 ? (4 - model.size()) / 2 : 0u);
  }
}

}  // namespace
}  // namespace vostrel
