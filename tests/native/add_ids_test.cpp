// add_ids against roaring_bitmap_add_many: lists of every order and density, into bitmaps of every container kind.
#include "index/core/structures/bitmap_ops/add_ids.hpp"

#include <gtest/gtest.h>
#include <roaring/roaring.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "index/core/structures/bitmap.hpp"

#include "roaring_checks.hpp"

namespace vostrel {
namespace {

// The same set and well-formed containers; the bitmaps may start with run or shared containers.
void expect_same(const Bitmap& got, const Bitmap& want, const std::string& where) {
  testing::expect_same_bitmap(got, want, where, true);
}

// A bitmap already holding something in the chunks the lists touch: arrays, bitsets and runs.
Bitmap prefilled(int kind, std::mt19937& rng) {
  Bitmap b;
  switch (kind) {
    case 0:  // empty
      break;
    case 1:  // small arrays, low in their chunks
      for (uint32_t key = 0; key < 4; ++key) {
        for (int j = 0; j < 50; ++j) b.add((key << 16) + rng() % 1000);
      }
      break;
    case 2:  // arrays near full, spread over their chunks
      for (uint32_t key = 0; key < 4; ++key) {
        for (int j = 0; j < 4000; ++j) b.add((key << 16) + rng() % 65536);
      }
      break;
    case 3:  // bitsets
      for (uint32_t key = 0; key < 4; ++key) {
        for (int j = 0; j < 20000; ++j) b.add((key << 16) + rng() % 65536);
      }
      break;
    case 4:  // runs
      for (uint32_t key = 0; key < 4; ++key) {
        roaring_bitmap_add_range_closed(&b.roaring, (key << 16) + 100, (key << 16) + 5000);
      }
      b.runOptimize();
      break;
  }
  return b;
}

// Ids over a few chunks: rising dense or sparse runs, shuffled, with repeats, or falling.
std::vector<uint32_t> id_list(int order, std::mt19937& rng) {
  std::vector<uint32_t> ids;
  const size_t count = 1 + rng() % 20000;
  const uint32_t start = rng() % (3u << 16);
  const uint32_t step = 1 + rng() % (order == 1 ? 40 : 3);
  for (size_t at = 0; at < count; ++at) ids.push_back(start + static_cast<uint32_t>(at) * step);
  switch (order) {
    case 0:
    case 1:  // rising
      break;
    case 2:
      std::shuffle(ids.begin(), ids.end(), rng);
      break;
    case 3:  // rising with repeats and a few out of place
      for (size_t at = 0; at + 1 < ids.size(); at += 1 + rng() % 50) ids[at + 1] = ids[at];
      for (int swaps = 0; swaps < 10; ++swaps) std::swap(ids[rng() % ids.size()], ids[rng() % ids.size()]);
      break;
    case 4:
      std::reverse(ids.begin(), ids.end());
      break;
  }
  return ids;
}

TEST(AddIds, SameSetAsAddManyForEveryOrderAndContainer) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 400; ++round) {
    const int kind = round % 5;
    const int order = (round / 5) % 5;
    Bitmap got = prefilled(kind, rng);
    Bitmap want = got;
    // Two lists in turn, as two flushes would: the second often continues the first's last chunk.
    for (int list = 0; list < 2; ++list) {
      const std::vector<uint32_t> ids = id_list(order, rng);
      add_ids(&got.roaring, ids.data(), ids.size());
      roaring_bitmap_add_many(&want.roaring, ids.size(), ids.data());
      expect_same(got, want, "round " + std::to_string(round) + " list " + std::to_string(list));
    }
  }
}

TEST(AddIds, ArraysGrowIntoBitsetsAtTheirBound) {
  Bitmap got;
  Bitmap want;
  // Rising runs that fill one chunk's array to 4096 exactly, then one more id, then a bitset's worth.
  std::vector<uint32_t> ids;
  for (uint32_t id = 0; id < 4096; ++id) ids.push_back(2 * id);
  add_ids(&got.roaring, ids.data(), 4000);
  add_ids(&got.roaring, ids.data() + 4000, 96);
  for (uint32_t id : ids) want.add(id);
  expect_same(got, want, "4096 in an array");
  const uint32_t one_more = 9001;
  add_ids(&got.roaring, &one_more, 1);
  want.add(one_more);
  expect_same(got, want, "one more");
  std::vector<uint32_t> next;
  for (uint32_t id = 10000; id < 60000; id += 3) next.push_back(id);
  add_ids(&got.roaring, next.data(), next.size());
  for (uint32_t id : next) want.add(id);
  expect_same(got, want, "a bitset's worth");
}

TEST(AddIds, SharedContainersStayUnchangedInTheirCopy) {
  // Copy-on-write bitmaps share containers: adding to one must leave the other as it was.
  Bitmap original;
  original.setCopyOnWrite(true);
  for (uint32_t id = 0; id < 3000; id += 2) original.add(id);
  for (uint32_t id = 65536; id < 65536 + 20000; ++id) original.add(id);
  Bitmap copy;
  copy.setCopyOnWrite(true);
  copy = original;
  const Bitmap before = original;
  std::vector<uint32_t> ids;
  for (uint32_t id = 3001; id < 70000; id += 5) ids.push_back(id);
  add_ids(&copy.roaring, ids.data(), ids.size());
  Bitmap want = before;
  for (uint32_t id : ids) want.add(id);
  expect_same(copy, want, "the copy");
  expect_same(original, before, "the original");
}

TEST(AddIds, PortableAnswersAlike) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    Bitmap got = prefilled(round % 5, rng);
    Bitmap want = got;
    const std::vector<uint32_t> ids = id_list(round % 5, rng);
    add_ids_portable(&got.roaring, ids.data(), ids.size());
    roaring_bitmap_add_many(&want.roaring, ids.size(), ids.data());
    expect_same(got, want, "round " + std::to_string(round));
  }
}

TEST(AddMarkedIds, SameSetAsAddManyAtEveryDensity) {
  // Chunks empty, sparse, at the array bound and dense, a partial last chunk; into empty and prefilled bitmaps.
  std::mt19937 rng(31);
  for (int round = 0; round < 60; ++round) {
    const size_t words = 1 + rng() % 5000;
    std::vector<uint64_t> marks(words, 0);
    std::vector<uint32_t> ids;
    for (size_t chunk = 0; chunk * 1024 < words; ++chunk) {
      const uint32_t density[] = {0, 7, 4096, 4097, 30000};
      const uint32_t wanted = density[rng() % 5];
      const size_t bits = std::min<size_t>(65536, (words - chunk * 1024) * 64);
      for (uint32_t n = 0; n < wanted; ++n) {
        const uint32_t id = static_cast<uint32_t>(chunk * 65536 + rng() % bits);
        marks[id >> 6] |= uint64_t{1} << (id & 63);
        ids.push_back(id);
      }
    }
    Bitmap got = round % 3 == 0 ? prefilled(1 + round % 4, rng) : Bitmap();
    Bitmap portable = got;
    Bitmap want = got;
    add_marked_ids(&got.roaring, marks.data(), marks.size());
    add_marked_ids_portable(&portable.roaring, marks.data(), marks.size());
    roaring_bitmap_add_many(&want.roaring, ids.size(), ids.data());
    expect_same(got, want, "round " + std::to_string(round));
    expect_same(portable, want, "portable, round " + std::to_string(round));
  }
}

}  // namespace
}  // namespace vostrel
