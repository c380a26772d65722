// OrderedKey and NumericalBitmap against plain sorted models, over every kernel build.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <new>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "numeric_batches.hpp"

namespace vostrel {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double MIN_SUBNORMAL = std::numeric_limits<double>::denorm_min();
constexpr double MIN_NORMAL = std::numeric_limits<double>::min();
constexpr int64_t I64_MIN = std::numeric_limits<int64_t>::min();
constexpr int64_t I64_MAX = std::numeric_limits<int64_t>::max();
constexpr uint64_t TOP = uint64_t{1} << 63;

double nan_with(bool negative, uint64_t payload) {
  return std::bit_cast<double>((negative ? TOP : 0) | (uint64_t{0x7FF} << 52) | payload);
}

Bitmap bitmap_of(std::initializer_list<uint32_t> ids) {
  Bitmap b;
  for (uint32_t id : ids) b.add(id);
  return b;
}

std::vector<uint32_t> ids_of(const Bitmap& b) {
  std::vector<uint32_t> v(b.cardinality());
  b.toUint32Array(v.data());
  return v;
}

// CRoaring's layout rules, which later operations on an answer rely on: arrays
// hold 1..4096 rising ids, bitsets more than 4096, with the counts they state.
// Read only where the chunk kernels are built: the layout is then the one they were written for.
bool well_formed(const Bitmap& b) {
#if !VOSTREL_CONTAINER_KERNELS
  (void)b;
#else
  const roaring_array_t& ra = b.roaring.high_low_container;
  for (int32_t j = 0; j < ra.size; ++j) {
    if (j > 0 && ra.keys[j - 1] >= ra.keys[j]) return false;
    if (ra.typecodes[j] == ARRAY_CONTAINER_TYPE_CODE) {
      const auto* array = static_cast<const array_container_t*>(ra.containers[j]);
      if (array->cardinality < 1 || array->cardinality > 4096) return false;
      for (int32_t v = 1; v < array->cardinality; ++v) if (array->array[v - 1] >= array->array[v]) return false;
    } else if (ra.typecodes[j] == BITSET_CONTAINER_TYPE_CODE) {
      const auto* bitset = static_cast<const bitset_container_t*>(ra.containers[j]);
      int32_t count = 0;
      for (int w = 0; w < 1024; ++w) count += std::popcount(bitset->array[w]);
      if (bitset->cardinality <= 4096 || bitset->cardinality != count) return false;
    }
  }
#endif
  return true;
}

TEST(OrderedKey, DocumentedKeys) {
  const OrderedKey zero{0, 0x800};
  EXPECT_EQ(OrderedKey::from_int(0), zero);
  EXPECT_EQ(OrderedKey::from_float(0.0), zero);
  EXPECT_EQ(OrderedKey::from_float(-0.0), zero);
  EXPECT_EQ(OrderedKey::from_int(1), (OrderedKey{TOP, 0xBFF}));
  EXPECT_EQ(OrderedKey::from_int(-1), (OrderedKey{TOP - 1, 0x400}));
  EXPECT_EQ(OrderedKey::from_int(3), (OrderedKey{3ULL << 62, 0xC00}));
  EXPECT_EQ(OrderedKey::from_float(3.0), (OrderedKey{3ULL << 62, 0xC00}));
  EXPECT_EQ(OrderedKey::from_float(INF), (OrderedKey{TOP, 0xFFF}));
  EXPECT_EQ(OrderedKey::from_float(-INF), (OrderedKey{TOP - 1, 0}));
  // INT64_MIN: magnitude 2^63, biased exponent 1086, mirrored below zero.
  EXPECT_EQ(OrderedKey::from_int(I64_MIN), (OrderedKey{TOP - 1, 0x3C1}));
  EXPECT_EQ(OrderedKey::from_float(-9223372036854775808.0), OrderedKey::from_int(I64_MIN));
  EXPECT_EQ(OrderedKey::from_int(I64_MAX), (OrderedKey{~uint64_t{1}, 0xC3D}));
  const OrderedKey k = OrderedKey::from_int(5);  // 0b101: bits 63 and 61 of M, E 0xC01
  EXPECT_TRUE(k.bit(63) && !k.bit(62) && k.bit(61) && !k.bit(0) && k.bit(64) && !k.bit(65) && k.bit(74) && k.bit(75));
}

TEST(OrderedKey, NaNsSortBeyondTheirInfinityAndEqualByPayload) {
  const OrderedKey pos_nan = OrderedKey::from_float(nan_with(false, 1ULL << 51));
  const OrderedKey neg_nan = OrderedKey::from_float(nan_with(true, 1ULL << 51));
  EXPECT_GT(pos_nan, OrderedKey::from_float(INF));
  EXPECT_LT(neg_nan, OrderedKey::from_float(-INF));
  EXPECT_LT(OrderedKey::from_float(nan_with(false, 1)), pos_nan);
  EXPECT_NE(OrderedKey::from_float(nan_with(false, 1)), pos_nan);
  EXPECT_EQ(OrderedKey::from_float(nan_with(true, 7)), OrderedKey::from_float(nan_with(true, 7)));
}

// Random ints, floats and the awkward values; long double holds every int64
// and double exactly, so it is the model of numeric order.
struct Number {
  long double value;
  OrderedKey key;
};

Number int_number(int64_t v) { return {static_cast<long double>(v), OrderedKey::from_int(v)}; }
Number float_number(double x) { return {x, OrderedKey::from_float(x)}; }

std::vector<Number> random_numbers(std::mt19937_64& rng, size_t n) {
  const double largest_subnormal = std::nextafter(MIN_NORMAL, 0.0);
  const std::vector<double> specials = {0.0, -0.0, INF, -INF, MIN_SUBNORMAL, -MIN_SUBNORMAL, MIN_NORMAL, -MIN_NORMAL,
                                        largest_subnormal, -largest_subnormal, 3.0, -1.0, 0x1p53, 1e308, -1e-310};
  std::vector<Number> out;
  for (size_t j = 0; j < n; ++j) {
    switch (rng() % 7) {
      case 0: out.push_back(int_number(static_cast<int64_t>(rng() % 41) - 20)); break;
      case 1: out.push_back(int_number(static_cast<int64_t>(rng()) >> (rng() % 64))); break;
      case 2: out.push_back(int_number(rng() % 2 ? I64_MIN : I64_MAX)); break;
      case 3: {
        const double unit = std::uniform_real_distribution<double>(-1, 1)(rng);
        out.push_back(float_number(std::ldexp(unit, static_cast<int>(rng() % 200) - 100)));
        break;
      }
      case 4:  // subnormals, both signs
        out.push_back(float_number(std::bit_cast<double>((rng() % 2 ? TOP : 0) | (rng() >> (12 + rng() % 52)))));
        break;
      case 5: out.push_back(float_number(static_cast<double>(static_cast<int64_t>(rng() % 41) - 20))); break;
      default: out.push_back(float_number(specials[rng() % specials.size()]));
    }
  }
  return out;
}

TEST(OrderedKey, KeyOrderIsNumericOrderIncludingSubnormals) {
  std::mt19937_64 rng(11);
  std::vector<Number> numbers = random_numbers(rng, 4000);
  std::sort(numbers.begin(), numbers.end(), [](const Number& a, const Number& b) { return a.value < b.value; });
  for (size_t j = 0; j < numbers.size(); ++j) {
    for (size_t step : {size_t{1}, size_t{7}, size_t{613}}) {
      if (j + step >= numbers.size()) continue;
      const Number& a = numbers[j];
      const Number& b = numbers[j + step];
      EXPECT_EQ(a.value == b.value, a.key == b.key) << double(a.value) << " vs " << double(b.value);
      EXPECT_EQ(a.value < b.value, a.key < b.key) << double(a.value) << " vs " << double(b.value);
    }
  }
  // Subnormals sit strictly between zero and the normals, mirrored for negatives.
  const OrderedKey zero = OrderedKey::from_int(0);
  const double largest_subnormal = std::nextafter(MIN_NORMAL, 0.0);
  EXPECT_LT(zero, OrderedKey::from_float(MIN_SUBNORMAL));
  EXPECT_LT(OrderedKey::from_float(MIN_SUBNORMAL), OrderedKey::from_float(largest_subnormal));
  EXPECT_LT(OrderedKey::from_float(largest_subnormal), OrderedKey::from_float(MIN_NORMAL));
  EXPECT_GT(zero, OrderedKey::from_float(-MIN_SUBNORMAL));
  EXPECT_GT(OrderedKey::from_float(-largest_subnormal), OrderedKey::from_float(-MIN_NORMAL));
}

struct Build {
  std::string isa;
  CompareKernel gt, gte, lt, lte;
  EqualKernel eq;
  RangeKernel between;
};

// Every build this processor can run, widest last: the portable one, then the chunk-kernel builds
// where they are built (this project's machines run all three).
std::vector<Build> runnable_builds() {
  std::vector<Build> builds = {{"portable", get_gt_into_portable, get_gte_into_portable, get_lt_into_portable,
                                get_lte_into_portable, get_eq_into_portable, get_between_into_portable}};
#if VOSTREL_CONTAINER_KERNELS
  builds.push_back({"sse2", get_gt_into_sse2, get_gte_into_sse2, get_lt_into_sse2, get_lte_into_sse2,
                    get_eq_into_sse2, get_between_into_sse2});
  const bool avx2 =
      __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  if (avx2) {
    builds.push_back({"avx2", get_gt_into_avx2, get_gte_into_avx2, get_lt_into_avx2, get_lte_into_avx2,
                      get_eq_into_avx2, get_between_into_avx2});
  }
  if (avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl")) {
    builds.push_back({"avx512", get_gt_into_avx512, get_gte_into_avx512, get_lt_into_avx512, get_lte_into_avx512,
                      get_eq_into_avx512, get_between_into_avx512});
  }
#endif
  return builds;
}

enum Kind { GT, GTE, LT, LTE, EQ };
const char* const KIND_NAMES[] = {"gt", "gte", "lt", "lte", "eq"};

// The structure beside a plain map of id -> key.
struct Fixture {
  NumericalBitmap nb;
  std::map<uint32_t, OrderedKey> model;

  void put(uint32_t id, OrderedKey key) {
    if (auto it = model.find(id); it != model.end()) nb.remove(it->second, id);
    nb.insert(key, id);
    model[id] = key;
    snapshot.clear();
  }
  void erase(uint32_t id) {
    if (auto it = model.find(id); it != model.end()) {
      nb.remove(it->second, id);
      model.erase(it);
      snapshot.clear();
    }
  }
  // The ids of `allowed` (every stored id when null) per comparison with q, one pass.
  std::array<std::vector<uint32_t>, 5> expected(OrderedKey q, const Bitmap* allowed) const {
    if (snapshot.size() != model.size()) snapshot.assign(model.begin(), model.end());
    std::array<std::vector<uint32_t>, 5> out;
    for (const auto& [id, key] : snapshot) {
      if (allowed != nullptr && !allowed->contains(id)) continue;
      const auto order = key <=> q;
      out[order > 0 ? GT : order < 0 ? LT : EQ].push_back(id);
      if (order >= 0) out[GTE].push_back(id);
      if (order <= 0) out[LTE].push_back(id);
    }
    return out;
  }
  std::vector<uint32_t> expected_between(OrderedKey low, OrderedKey high, const Bitmap& allowed) const {
    if (snapshot.size() != model.size()) snapshot.assign(model.begin(), model.end());
    std::vector<uint32_t> out;
    for (const auto& [id, key] : snapshot) {
      if (low <= key && key <= high && allowed.contains(id)) out.push_back(id);
    }
    return out;
  }
  mutable std::vector<std::pair<uint32_t, OrderedKey>> snapshot;  // the model as a flat list, for speed
};

// The sides of every slice are the model's: the kept side holds exactly the stored ids with the kept bit, and the
// other side is the rest of the stored ids. A kept side holds at least 7/16 or at most 1/64 of the stored ids.
void expect_consistent(const NumericalBitmap& nb, const std::map<uint32_t, OrderedKey>& model) {
  Bitmap stored;
  for (const auto& [id, key] : model) stored.add(id);
  ASSERT_EQ(nb.stored(), stored);
  for (unsigned bit = 0; bit < NumericalBitmap::KEY_BITS; ++bit) {
    Bitmap zeros;
    Bitmap ones;
    for (const auto& [id, key] : model) (key.bit(bit) ? ones : zeros).add(id);
    ASSERT_EQ(nb.kept(bit), nb.kept_bit(bit) ? ones : zeros) << "bit " << bit;
    const uint64_t kept = nb.kept(bit).cardinality();
    ASSERT_TRUE(64 * kept <= model.size() || 16 * kept >= 7 * model.size()) << "bit " << bit << " keeps " << kept;
    ASSERT_EQ(nb.side(bit, false), zeros) << "bit " << bit;
    ASSERT_EQ(nb.side(bit, true), ones) << "bit " << bit;
  }
}
void expect_consistent(const Fixture& f) { expect_consistent(f.nb, f.model); }

Bitmap run_kernel(const Build& b, Kind kind, const NumericalBitmap& nb, OrderedKey q, const Bitmap* allowed,
                  const Bitmap& prefill) {
  Bitmap out = prefill;
  if (kind == EQ) {
    b.eq(nb, q.m, q.e, out, allowed);
  } else {
    const CompareKernel fn = kind == GT ? b.gt : kind == GTE ? b.gte : kind == LT ? b.lt : b.lte;
    fn(nb, q.m, q.e, out, *allowed);
  }
  return out;
}

std::vector<uint32_t> with_prefill(std::vector<uint32_t> ids, const Bitmap& prefill) {
  for (uint32_t id : ids_of(prefill)) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

// Checks every build and comparison for each query key and allowed set, and
// ranges from each key to the next two and to a random one (either way
// round); the answer is ORed into a prefilled output, which must keep its ids.
void check_all(const Fixture& f, const std::vector<OrderedKey>& queries, const std::vector<Bitmap>& allowed_sets,
               std::mt19937_64& rng) {
  const std::vector<Build> builds = runnable_builds();
  for (size_t at = 0; at < queries.size(); ++at) {
    const OrderedKey& q = queries[at];
    const OrderedKey partners[] = {queries[(at + 1) % queries.size()], queries[(at + 2) % queries.size()],
                                   queries[rng() % queries.size()]};
    for (const Bitmap& allowed : allowed_sets) {
      Bitmap prefill;
      if (rng() % 2) for (int j = 0; j < 20; ++j) prefill.add(static_cast<uint32_t>(rng() % 300000));
      for (const OrderedKey& other : partners) {
        const std::vector<uint32_t> range_want = with_prefill(f.expected_between(q, other, allowed), prefill);
        for (const Build& b : builds) {
          Bitmap got = prefill;
          b.between(f.nb, q, other, got, allowed);
          ASSERT_EQ(ids_of(got), range_want) << b.isa << " range";
          ASSERT_TRUE(well_formed(got)) << b.isa << " range";
        }
      }
      const std::array<std::vector<uint32_t>, 5> model = f.expected(q, &allowed);
      for (int kind = GT; kind <= EQ; ++kind) {
        const std::vector<uint32_t> want = with_prefill(model[kind], prefill);
        for (const Build& b : builds) {
          const Bitmap got = run_kernel(b, Kind(kind), f.nb, q, &allowed, prefill);
          ASSERT_EQ(ids_of(got), want) << b.isa << " " << KIND_NAMES[kind] << " key e=" << q.e << " m=" << q.m;
          ASSERT_TRUE(well_formed(got)) << b.isa << " " << KIND_NAMES[kind];
        }
      }
      if (rng() % 4 == 0) {
        const Bitmap equal = f.nb.equal(q);
        ASSERT_EQ(ids_of(equal), f.expected(q, nullptr)[EQ]);
        ASSERT_TRUE(well_formed(equal));
      }
    }
  }
}

std::vector<OrderedKey> query_keys(const Fixture& f, std::mt19937_64& rng, size_t n) {
  std::vector<OrderedKey> keys = {OrderedKey{0, 0}, OrderedKey{~uint64_t{0}, 0xFFF}, OrderedKey::from_int(0),
                                  OrderedKey::from_float(nan_with(false, 5)), OrderedKey::from_float(-INF)};
  std::vector<OrderedKey> stored;
  for (const auto& entry : f.model) stored.push_back(entry.second);
  for (const Number& x : random_numbers(rng, n)) keys.push_back(x.key);
  for (size_t j = 0; j < n && !stored.empty(); ++j) keys.push_back(stored[rng() % stored.size()]);
  return keys;
}

// Allowed sets: everything stored plus strangers, half, a few ids, nothing, and
// a copy-on-write copy (its containers are shared wrappers).
std::vector<Bitmap> allowed_sets(const Fixture& f, std::mt19937_64& rng, uint32_t id_span) {
  Bitmap all, half, few;
  for (const auto& entry : f.model) {
    all.add(entry.first);
    if (rng() % 2) half.add(entry.first);
  }
  for (int j = 0; j < 500; ++j) all.add(static_cast<uint32_t>(rng() % id_span));
  for (int j = 0; j < 40; ++j) few.add(static_cast<uint32_t>(rng() % id_span));
  Bitmap shared = half;
  shared.setCopyOnWrite(true);
  Bitmap cow;
  cow.setCopyOnWrite(true);
  cow = shared;
  return {all, half, few, Bitmap(), cow};
}

TEST(NumericalBitmap, SmallExamples) {
  for (const Build& b : runnable_builds()) {
    NumericalBitmap nb;
    nb.insert(OrderedKey::from_int(3), 1);
    nb.insert(OrderedKey::from_float(5.0), 2);
    nb.insert(OrderedKey::from_int(7), 3);
    const Bitmap allowed = bitmap_of({1, 2, 3, 99});
    const OrderedKey five = OrderedKey::from_int(5);
    EXPECT_EQ(ids_of(run_kernel(b, GT, nb, five, &allowed, Bitmap())), (std::vector<uint32_t>{3})) << b.isa;
    EXPECT_EQ(ids_of(run_kernel(b, GTE, nb, five, &allowed, Bitmap())), (std::vector<uint32_t>{2, 3})) << b.isa;
    EXPECT_EQ(ids_of(run_kernel(b, LT, nb, five, &allowed, Bitmap())), (std::vector<uint32_t>{1})) << b.isa;
    EXPECT_EQ(ids_of(run_kernel(b, LTE, nb, five, &allowed, Bitmap())), (std::vector<uint32_t>{1, 2})) << b.isa;
    const Bitmap without_seven = bitmap_of({1, 2});
    EXPECT_TRUE(run_kernel(b, GT, nb, five, &without_seven, Bitmap()).isEmpty()) << b.isa;

    NumericalBitmap signs;
    for (int64_t v : {-2, -1, 0, 1}) signs.insert(OrderedKey::from_int(v), static_cast<uint32_t>(v + 10));
    const Bitmap every = bitmap_of({8, 9, 10, 11});
    const OrderedKey minus_one = OrderedKey::from_int(-1);
    EXPECT_EQ(ids_of(run_kernel(b, GT, signs, minus_one, &every, Bitmap())), (std::vector<uint32_t>{10, 11})) << b.isa;
    EXPECT_EQ(ids_of(run_kernel(b, LT, signs, minus_one, &every, Bitmap())), (std::vector<uint32_t>{8})) << b.isa;
  }
}

// Shapes of data that drive the scan down its different paths: chunks dense
// in ids (bitset slices), where most keys are alike and a few are wild (the top
// bits agree, rare bits sit in small containers), chunks with a few thousand ids
// (array slices on both sides), ids spread over the whole 32-bit range (a few
// ids per chunk), and keys differing in every bit.
TEST(NumericalBitmap, RandomDataMatchesModelInEveryBuild) {
  struct Shape {
    uint32_t span;
    size_t ids;
    unsigned wild_percent;
  };
  const Shape shapes[] = {{200000, 150000, 4}, {200000, 9000, 30}, {UINT32_MAX, 3000, 30}, {70000, 60000, 100}};
  std::mt19937_64 rng(20240611);
  for (const Shape& shape : shapes) {
    Fixture f;
    const std::vector<Number> wild = random_numbers(rng, 64);  // repeats make equal keys common
    for (size_t j = 0; j < shape.ids; ++j) {
      OrderedKey key;
      if (rng() % 100 < shape.wild_percent) {
        key = rng() % 3 ? wild[rng() % wild.size()].key : random_numbers(rng, 1)[0].key;
      } else {
        key = rng() % 2 ? OrderedKey::from_int(static_cast<int64_t>(rng() % 1000))
                        : OrderedKey::from_float(static_cast<double>(rng() % 100000) / 64.0);
      }
      f.put(static_cast<uint32_t>(rng() % shape.span), key);
    }
    check_all(f, query_keys(f, rng, 7), allowed_sets(f, rng, shape.span), rng);
  }
}

// Sequential ids with sequential values (the running set shrinks to narrow
// ranges) and, after run-optimising every slice and allowed set, run containers.
TEST(NumericalBitmap, SequentialAndRunContainers) {
  std::mt19937_64 rng(5);
  Fixture f;
  for (uint32_t id = 0; id < 140000; ++id) f.put(id, OrderedKey::from_int(static_cast<int64_t>(id) - 70000));
  const std::vector<OrderedKey> queries = {OrderedKey::from_int(-70000), OrderedKey::from_int(0),
                                           OrderedKey::from_float(12345.5), OrderedKey::from_int(69999),
                                           OrderedKey::from_int(-3)};
  std::vector<Bitmap> allowed = allowed_sets(f, rng, 200000);
  Bitmap range;
  range.addRange(1000, 131000);
  allowed.push_back(range);
  check_all(f, queries, allowed, rng);
  f.nb.run_optimize();
  for (Bitmap& a : allowed) a.runOptimize();
  check_all(f, queries, allowed, rng);
}

// Stored keys that all agree on many bits (small non-negative ints only), so slices have one side
// empty: queries beside, beyond and between them must still report exactly the model's ids.
TEST(NumericalBitmap, SlicesWithOneSideEmpty) {
  std::mt19937_64 rng(31);
  Fixture f;
  for (uint32_t id = 0; id < 5000; ++id) f.put(id * 7, OrderedKey::from_int(static_cast<int64_t>(rng() % 1000)));
  f.put(40000, OrderedKey::from_int(0));
  const std::vector<OrderedKey> queries = {
      OrderedKey{0, 0}, OrderedKey{~uint64_t{0}, 0xFFF}, OrderedKey::from_int(-1), OrderedKey::from_int(0),
      OrderedKey::from_int(512), OrderedKey::from_int(999), OrderedKey::from_int(1000), OrderedKey::from_float(-INF),
      OrderedKey::from_float(INF), OrderedKey::from_float(0.5)};
  check_all(f, queries, allowed_sets(f, rng, 50000), rng);
}

// Interleaved inserts, re-inserts under new keys and removals over a few
// chunks, checked as the contents change; removing everything empties it.
TEST(NumericalBitmap, InsertRemoveInterleavings) {
  std::mt19937_64 rng(77);
  Fixture f;
  const std::vector<Number> values = random_numbers(rng, 30);
  auto random_id = [&] { return static_cast<uint32_t>(rng() % 2 ? rng() % 9000 : 65536 + rng() % 9000); };
  for (int round = 0; round < 6; ++round) {
    for (int op = 0; op < 6000; ++op) {
      if (rng() % 3 == 0) f.erase(random_id()); else f.put(random_id(), values[rng() % values.size()].key);
    }
    expect_consistent(f);
    check_all(f, query_keys(f, rng, 3), allowed_sets(f, rng, 80000), rng);
  }
  EXPECT_FALSE(f.nb.is_empty());
  while (!f.model.empty()) f.erase(f.model.begin()->first);
  EXPECT_TRUE(f.nb.is_empty());
  for (unsigned bit = 0; bit < NumericalBitmap::KEY_BITS; ++bit) EXPECT_TRUE(f.nb.is_uniform(bit)) << bit;
}

// Batches, merges and prunes leave the same slices as single inserts of the same ids would: uniform where the
// keys agree (small integers agree on most bits, so most slices keep no bitmap), split where they differ.
TEST(NumericalBitmap, BatchesMergesAndPrunesMatchTheModel) {
  std::mt19937_64 rng(4242);
  const std::vector<Number> wild = random_numbers(rng, 50);
  for (const bool small_ints : {true, false}) {
    Fixture f;  // its model is kept by hand here: the structure is filled by batches
    std::map<uint32_t, OrderedKey>& model = f.model;
    auto key_for = [&] {
      return small_ints ? OrderedKey::from_int(static_cast<int64_t>(rng() % 1000)) : wild[rng() % wild.size()].key;
    };
    NumericalBitmap& batched = f.nb;
    for (uint32_t first = 0; first < 200000; first += 20000) {
      // A batch of one key first: every slice agrees within it.
      const size_t size = first == 0 ? 1 : 1 + rng() % 15000;
      std::vector<std::pair<uint32_t, OrderedKey>> batch;
      for (size_t j = 0; j < size; ++j) batch.emplace_back(first + static_cast<uint32_t>(rng() % 20000), key_for());
      std::sort(batch.begin(), batch.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      const auto same_id = [](const auto& a, const auto& b) { return a.first == b.first; };
      batch.erase(std::unique(batch.begin(), batch.end(), same_id), batch.end());
      for (const auto& [id, key] : batch) model[id] = key;
      add_pairs(batched, batch);
      expect_consistent(batched, model);
    }
    check_all(f, query_keys(f, rng, 3), allowed_sets(f, rng, 200000), rng);
    if (small_ints) {
      unsigned split = 0;
      for (unsigned bit = 0; bit < NumericalBitmap::KEY_BITS; ++bit) split += batched.is_uniform(bit) ? 0 : 1;
      EXPECT_LE(split, 24u) << "keys of 0..999 differ in about 20 of the 76 bits";
    }

    // Merged into an empty structure and into one holding other ids, whole and restricted.
    Bitmap half;
    for (const auto& [id, key] : model) {
      if (rng() % 2 != 0) half.add(id);
    }
    std::map<uint32_t, OrderedKey> half_model;
    for (const auto& [id, key] : model) {
      if (half.contains(id)) half_model[id] = key;
    }
    NumericalBitmap whole;
    whole.merge_from(batched, nullptr);
    expect_consistent(whole, model);
    NumericalBitmap restricted;
    std::map<uint32_t, OrderedKey> restricted_model;
    for (uint32_t id = 300000; id < 300050; ++id) {
      const OrderedKey key = key_for();
      restricted.insert(key, id);
      restricted_model[id] = key;
    }
    restricted.merge_from(batched, &half);
    restricted_model.insert(half_model.begin(), half_model.end());
    expect_consistent(restricted, restricted_model);

    // Pruned to the half, then to nothing: every slice is uniform again.
    batched.keep_only(half);
    model = half_model;
    f.snapshot.clear();
    expect_consistent(batched, model);
    check_all(f, query_keys(f, rng, 3), allowed_sets(f, rng, 200000), rng);
    batched.keep_only(Bitmap());
    expect_consistent(batched, {});
    EXPECT_TRUE(batched.is_empty());
  }
}

// A slice keeps the side of the few keys that disagree with the rest from their first id, so a value flipping back
// and forth adds its one id and takes it again; once that side grows past 1/64 of the ids the slice keeps the
// larger side, until that falls under 7/16.
TEST(NumericalBitmap, SlicesKeepTheFewOrTheLargerSide) {
  Fixture f;
  const OrderedKey even = OrderedKey::from_int(1000);
  const OrderedKey odd = OrderedKey::from_int(1001);
  for (uint32_t id = 0; id < 3000; ++id) f.put(id * 3, even);
  unsigned low_bit = NumericalBitmap::KEY_BITS;
  for (unsigned bit = 0; bit < NumericalBitmap::KEY_BITS; ++bit) {
    EXPECT_TRUE(f.nb.is_uniform(bit)) << bit;
    if (even.bit(bit) != odd.bit(bit)) low_bit = std::min(low_bit, bit);
  }
  ASSERT_LT(low_bit, NumericalBitmap::KEY_BITS);
  for (int round = 0; round < 3; ++round) {
    f.nb.move(even, odd, 30);
    f.model[30] = odd;
    expect_consistent(f);
    EXPECT_EQ(f.nb.kept(low_bit).cardinality(), 1u);
    f.nb.move(odd, even, 30);
    f.model[30] = even;
    expect_consistent(f);
    EXPECT_TRUE(f.nb.is_uniform(low_bit));
  }
  for (uint32_t id = 0; id < 40; ++id) f.put(id * 3, odd);
  EXPECT_EQ(f.nb.kept(low_bit).cardinality(), 40u) << "under 1/64: the few";
  for (uint32_t id = 40; id < 2000; ++id) f.put(id * 3, odd);
  expect_consistent(f);
  EXPECT_EQ(f.nb.kept(low_bit).cardinality(), 2000u) << "the larger side";
  for (uint32_t id = 0; id < 1500; ++id) f.erase(id * 3);
  expect_consistent(f);
  EXPECT_EQ(f.nb.kept(low_bit).cardinality(), 1000u) << "500 odd, 1000 even: the larger side again";
  f.nb.keep_only(f.nb.stored());
  expect_consistent(f);
  while (!f.model.empty()) f.erase(f.model.begin()->first);
  for (unsigned bit = 0; bit < NumericalBitmap::KEY_BITS; ++bit) EXPECT_TRUE(f.nb.is_uniform(bit)) << bit;
}

// A batch cut short by a failure (the split runs out of memory halfway through the slices) leaves nothing once
// its pairs are removed again, as the bulk writer does: ids reached by some slices only go as well.
TEST(NumericalBitmap, RemovingABatchCutShortLeavesNothing) {
  std::mt19937_64 rng(8);
  Fixture f;
  const std::vector<Number> values = random_numbers(rng, 40);
  for (uint32_t id = 0; id < 5000; ++id) f.put(id * 2, values[rng() % values.size()].key);
  const std::map<uint32_t, OrderedKey> before = f.model;
  std::vector<std::pair<uint32_t, OrderedKey>> batch;
  for (uint32_t id = 0; id < 3000; ++id) batch.emplace_back(id * 2 + 1, values[rng() % values.size()].key);
  EXPECT_THROW(add_pairs(f.nb, batch, 20), std::bad_alloc);
  for (const auto& [id, key] : batch) f.nb.remove(key, id);
  f.snapshot.clear();
  expect_consistent(f.nb, before);
  check_all(f, query_keys(f, rng, 3), allowed_sets(f, rng, 12000), rng);
}

// move(from, to) leaves every slice exactly as remove(from) + insert(to) would, for
// keys that differ in a few low bits, in the exponent, in sign, or not at all.
TEST(NumericalBitmap, MoveMatchesRemoveThenInsert) {
  std::mt19937_64 rng(31);
  const std::vector<Number> values = random_numbers(rng, 60);
  Fixture moved;
  NumericalBitmap reference;
  auto random_key = [&](OrderedKey near) {
    switch (rng() % 4) {
      case 0: return OrderedKey{near.m ^ (rng() % 8), near.e};  // low bits only (or none)
      case 1: return near;
      case 2: return OrderedKey::from_int(static_cast<int64_t>(rng() % 2001) - 1000);
      default: return values[rng() % values.size()].key;
    }
  };
  for (int step = 0; step < 4000; ++step) {
    const uint32_t id = static_cast<uint32_t>(rng() % 300 + (rng() % 2 ? 0 : 70000));
    auto it = moved.model.find(id);
    if (it == moved.model.end()) {
      const OrderedKey key = values[rng() % values.size()].key;
      moved.put(id, key);
      reference.insert(key, id);
      continue;
    }
    const OrderedKey from = it->second;
    const OrderedKey to = random_key(from);
    moved.nb.move(from, to, id);
    moved.model[id] = to;
    moved.snapshot.clear();
    reference.remove(from, id);
    reference.insert(to, id);
    if (step % 97 == 0) {
      for (unsigned bit = 0; bit < NumericalBitmap::KEY_BITS; ++bit) {
        ASSERT_EQ(moved.nb.side(bit, false), reference.side(bit, false)) << "bit " << bit << " step " << step;
        ASSERT_EQ(moved.nb.side(bit, true), reference.side(bit, true)) << "bit " << bit << " step " << step;
      }
    }
  }
  check_all(moved, query_keys(moved, rng, 4), allowed_sets(moved, rng, 80000), rng);
}

TEST(NumericalBitmap, AddRisingMatchesTheModelOverEarlierIds) {
  std::mt19937_64 rng(37);
  const std::vector<Number> values = random_numbers(rng, 500);
  NumericalBitmap nb;
  std::map<uint32_t, OrderedKey> model;
  std::vector<uint32_t> zeros;
  std::vector<uint32_t> ones;
  uint32_t next_id = 5;
  // Batches over ids stored one by one before them, some spanning several chunks, one of a single key.
  for (int batch = 0; batch < 6; ++batch) {
    for (int single = 0; single < 50; ++single) {
      const OrderedKey key = values[rng() % values.size()].key;
      nb.insert(key, next_id);
      model[next_id++] = key;
    }
    std::vector<std::pair<uint32_t, OrderedKey>> entries;
    const size_t count = batch == 3 ? 40 : 3000 + rng() % 20000;
    for (size_t at = 0; at < count; ++at) {
      entries.emplace_back(next_id, batch == 3 ? values[0].key : values[rng() % values.size()].key);
      next_id += 1 + static_cast<uint32_t>(rng() % 5);
    }
    nb.add_rising(
        entries.size(), [&](size_t at) { return entries[at].second; }, [&](size_t at) { return entries[at].first; },
        zeros, ones);
    for (const auto& [id, key] : entries) model[id] = key;
    expect_consistent(nb, model);
  }
}

TEST(KernelSelection, PicksOneBuildForEveryComparison) {
  const std::string isa = selected_kernel_isa();
  const std::vector<Build> builds = runnable_builds();
  EXPECT_EQ(builds.back().isa, isa) << "the widest runnable build is selected";
  const Build& chosen = builds.back();
  EXPECT_EQ(GET_GT_FN(), chosen.gt);
  EXPECT_EQ(GET_GTE_FN(), chosen.gte);
  EXPECT_EQ(GET_LT_FN(), chosen.lt);
  EXPECT_EQ(GET_LTE_FN(), chosen.lte);
  EXPECT_EQ(GET_EQ_FN(), chosen.eq);
  EXPECT_EQ(GET_BETWEEN_FN(), chosen.between);
}

// Readers on several threads share the structure (each with its own scratch
// bitmap, used here because the outputs start non-empty).
TEST(NumericalBitmap, ConcurrentReadersAgree) {
  std::mt19937_64 rng(99);
  Fixture f;
  const std::vector<Number> values = random_numbers(rng, 200);
  for (uint32_t j = 0; j < 120000; ++j) f.put(static_cast<uint32_t>(rng() % 180000), values[rng() % values.size()].key);
  const std::vector<OrderedKey> queries = query_keys(f, rng, 6);
  Bitmap allowed = allowed_sets(f, rng, 180000)[1];
  const Bitmap prefill = bitmap_of({7, 190000, 4000000});
  std::vector<std::vector<uint32_t>> want;
  for (const OrderedKey& q : queries) {
    want.push_back(ids_of(run_kernel(runnable_builds()[0], GT, f.nb, q, &allowed, prefill)));
    want.push_back(ids_of(run_kernel(runnable_builds()[0], LTE, f.nb, q, &allowed, prefill)));
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int rep = 0; rep < 5; ++rep) {
        for (size_t j = 0; j < queries.size(); ++j) {
          const size_t at = (j + static_cast<size_t>(t)) % queries.size();
          Bitmap gt = prefill, lte = prefill;
          get_gt_into(f.nb, queries[at].m, queries[at].e, gt, allowed);
          get_lte_into(f.nb, queries[at].m, queries[at].e, lte, allowed);
          if (ids_of(gt) != want[2 * at] || ids_of(lte) != want[2 * at + 1]) ++mismatches;
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace vostrel
