// and_many against chained CRoaring ANDs on random bitmaps of every container mix, per build.
#include "index/core/structures/bitmap_ops/and_many.hpp"

#include <gtest/gtest.h>
#include <roaring/roaring.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "roaring_checks.hpp"

namespace vostrel {
namespace {

constexpr AndManyIsa ALL_ISAS[] = {AndManyIsa::Sse2, AndManyIsa::Avx2, AndManyIsa::Avx512};

// The reference: roaring_bitmap_and chained over the parts in order.
Bitmap chained_and(const std::vector<const roaring_bitmap_t*>& parts) {
  if (parts.empty()) return Bitmap();
  Bitmap result;
  roaring_bitmap_overwrite(&result.roaring, parts[0]);
  for (size_t i = 1; i < parts.size(); ++i) roaring_bitmap_and_inplace(&result.roaring, parts[i]);
  return result;
}

void expect_same(const Bitmap& got, const Bitmap& want, const std::string& where) {
  testing::expect_same_bitmap(got, want, where);
}

enum class Shape { Absent, Sparse, Dense, Runs, Full };

// Fills one 65536-id chunk of `b` with the given shape; density picks how full.
void fill_chunk(Bitmap& b, uint32_t key, Shape shape, double density, std::mt19937& rng) {
  const uint32_t base = key << 16;
  switch (shape) {
    case Shape::Absent:
      break;
    case Shape::Sparse: {  // ids from a narrow window, so different parts overlap
      std::uniform_int_distribution<uint32_t> count(1, 4000), low(0, 2048);
      const uint32_t n = count(rng);
      const uint32_t from = low(rng);
      for (uint32_t j = 0; j < n; ++j) b.add(base + from + rng() % 6000);
      break;
    }
    case Shape::Dense: {
      std::bernoulli_distribution keep(density);
      for (uint32_t v = 0; v < 65536; ++v) {
        if (keep(rng)) b.add(base + v);
      }
      break;
    }
    case Shape::Runs: {
      uint32_t at = rng() % 512;
      while (at < 65536) {
        const uint32_t length = 1 + rng() % 3000;
        roaring_bitmap_add_range_closed(&b.roaring, base + at, base + std::min<uint32_t>(at + length, 65535));
        at += length + 1 + rng() % 2000;
      }
      break;
    }
    case Shape::Full:
      roaring_bitmap_add_range_closed(&b.roaring, base, base + 65535);
      break;
  }
}

// A random bitmap over `keys` chunks, each with a shape drawn from `shapes`.
Bitmap random_bitmap(uint32_t keys, const std::vector<Shape>& shapes, std::mt19937& rng) {
  Bitmap b;
  std::uniform_real_distribution<double> density(0.05, 0.98);
  for (uint32_t key = 0; key < keys; ++key) fill_chunk(b, key, shapes[rng() % shapes.size()], density(rng), rng);
  b.runOptimize();  // run containers where they are smaller
  return b;
}

std::vector<const roaring_bitmap_t*> raw(const std::vector<Bitmap>& bitmaps) {
  std::vector<const roaring_bitmap_t*> parts;
  for (const Bitmap& b : bitmaps) parts.push_back(&b.roaring);
  return parts;
}

void check_all_isas(const std::vector<const roaring_bitmap_t*>& parts, const std::string& where) {
  const Bitmap want = chained_and(parts);
  expect_same(and_many(parts), want, where + " selected");
  const Bitmap portable = and_many_portable(parts);
  ASSERT_TRUE(portable == want) << where << " portable";
  for (AndManyIsa isa : ALL_ISAS) {
    if (!and_many_isa_supported(isa)) continue;
    expect_same(and_many_with(parts, isa), want, where + " isa " + std::to_string(static_cast<int>(isa)));
  }
}

TEST(AndMany, BaselineAlwaysSupported) { EXPECT_TRUE(and_many_isa_supported(AndManyIsa::Sse2)); }

TEST(AndMany, NoPartsOrOnePart) {
  EXPECT_TRUE(and_many({}).isEmpty());
  Bitmap one;
  for (uint32_t v = 0; v < 200000; v += 3) one.add(v);
  const roaring_bitmap_t* parts[] = {&one.roaring};
  EXPECT_TRUE(and_many(parts) == one);
}

TEST(AndMany, EmptyPartGivesEmpty) {
  Bitmap dense, empty;
  for (uint32_t v = 0; v < 300000; ++v) dense.add(v);
  const roaring_bitmap_t* parts[] = {&dense.roaring, &empty.roaring, &dense.roaring};
  check_all_isas({parts, parts + 3}, "empty middle");
  const roaring_bitmap_t* first_empty[] = {&empty.roaring, &dense.roaring};
  check_all_isas({first_empty, first_empty + 2}, "empty first");
}

TEST(AndMany, DisjointKeys) {
  Bitmap even_chunks, odd_chunks;
  for (uint32_t key = 0; key < 16; ++key) {
    for (uint32_t v = 0; v < 65536; v += 2) (key % 2 == 0 ? even_chunks : odd_chunks).add((key << 16) + v);
  }
  const roaring_bitmap_t* parts[] = {&even_chunks.roaring, &odd_chunks.roaring};
  check_all_isas({parts, parts + 2}, "disjoint");
  EXPECT_TRUE(and_many(parts).isEmpty());
}

TEST(AndMany, AllBitsetsKeepBitsetOrDropToArray) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    std::vector<Bitmap> bitmaps;
    const int n = 2 + round % 9;
    for (int i = 0; i < n; ++i) bitmaps.push_back(random_bitmap(6, {Shape::Dense}, rng));
    check_all_isas(raw(bitmaps), "dense round " + std::to_string(round));
  }
}

TEST(AndMany, EveryContainerMix) {
  std::mt19937 rng(12345);
  const std::vector<Shape> every = {Shape::Absent, Shape::Sparse, Shape::Dense, Shape::Runs, Shape::Full};
  const std::vector<std::vector<Shape>> mixes = {
      every,
      {Shape::Sparse},
      {Shape::Runs, Shape::Full},
      {Shape::Dense, Shape::Runs},
      {Shape::Dense, Shape::Sparse},
      {Shape::Dense, Shape::Full},
  };
  int round = 0;
  for (const auto& mix : mixes) {
    for (int rep = 0; rep < 12; ++rep, ++round) {
      std::vector<Bitmap> bitmaps;
      const int n = 2 + rep % 9;
      for (int i = 0; i < n; ++i) {
        // Parts drawing from different mixes meet container pairs of every kind.
        bitmaps.push_back(random_bitmap(5, i % 2 == 0 ? mix : every, rng));
      }
      // Smallest first, as callers order them; the result must not depend on it.
      check_all_isas(raw(bitmaps), "mix round " + std::to_string(round));
      std::vector<const roaring_bitmap_t*> reversed = raw(bitmaps);
      std::reverse(reversed.begin(), reversed.end());
      check_all_isas(reversed, "mix round reversed " + std::to_string(round));
    }
  }
}

TEST(AndMany, SparseAgainstDenseAndRuns) {
  // Arrays of very different sizes take the skipping paths on both sides.
  std::mt19937 rng(99);
  Bitmap tiny, small, large, runs, dense;
  for (uint32_t key = 0; key < 3; ++key) {
    for (int j = 0; j < 20; ++j) tiny.add((key << 16) + rng() % 65536);
    for (int j = 0; j < 900; ++j) small.add((key << 16) + rng() % 65536);
    for (int j = 0; j < 4000; ++j) large.add((key << 16) + rng() % 65536);
    fill_chunk(runs, key, Shape::Runs, 0, rng);
    fill_chunk(dense, key, Shape::Dense, 0.7, rng);
  }
  for (const uint32_t v : tiny) large.add(v);  // make sure some ids survive
  for (const uint32_t v : tiny) small.add(v);
  runs.runOptimize();
  const roaring_bitmap_t* orders[][5] = {
      {&tiny.roaring, &small.roaring, &large.roaring, &runs.roaring, &dense.roaring},
      {&large.roaring, &tiny.roaring, &dense.roaring, &small.roaring, &runs.roaring},
      {&small.roaring, &large.roaring, &runs.roaring, &dense.roaring, &tiny.roaring},
  };
  for (const auto& order : orders) {
    check_all_isas({order, order + 5}, "skewed");
    check_all_isas({order, order + 2}, "skewed pair");
  }
}

TEST(AndMany, SmallArraysOfSimilarSize) {
  // A few hundred ids at most per chunk, from a shared window so they overlap.
  std::mt19937 rng(2024);
  for (int round = 0; round < 30; ++round) {
    std::vector<Bitmap> bitmaps(2 + round % 4);
    for (Bitmap& b : bitmaps) {
      for (uint32_t key = 0; key < 4; ++key) {
        const uint32_t n = 20 + rng() % 230;
        for (uint32_t j = 0; j < n; ++j) b.add((key << 16) + rng() % 400);
      }
    }
    check_all_isas(raw(bitmaps), "small arrays round " + std::to_string(round));
  }
}

}  // namespace
}  // namespace vostrel
