// NumericalBitmap equality and range kernels over 1M ids, beside the cost of copying a 1M-id bitmap.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "../../tests/native/numeric_batches.hpp"

namespace vostrel {
namespace {

constexpr uint32_t IDS = 1000000;

// SpreadFloats: every fifth id, as when stored objects interleave with nested
// objects and list members, so 1M ids span 76 chunks about 20% full.
enum class Data { SequentialInts, RandomInts, RandomFloats, FewInts, SpreadFloats };

struct DataSet {
  NumericalBitmap nb;
  Bitmap all;                     // every id: the allowed set of an unfiltered query
  std::vector<OrderedKey> sorted;  // the stored keys in order, to pick keys by selectivity
};

// Filled the way a bulk writer fills it: one batch per chunk of 64K ids, split per mixed key bit.
const DataSet& data_set(Data kind) {
  static std::map<Data, std::unique_ptr<DataSet>> cache;
  std::unique_ptr<DataSet>& slot = cache[kind];
  if (slot) return *slot;
  slot = std::make_unique<DataSet>();
  std::mt19937_64 rng(42);
  std::normal_distribution<double> normal(0.0, 1000.0);
  const uint32_t stride = kind == Data::SpreadFloats ? 5 : 1;
  constexpr uint32_t BATCH = 65536;
  std::vector<std::pair<uint32_t, OrderedKey>> batch;
  auto flush = [&] {
    add_pairs(slot->nb, batch);
    batch.clear();
  };
  for (uint32_t n = 0; n < IDS; ++n) {
    const uint32_t id = n * stride;
    OrderedKey key;
    switch (kind) {
      case Data::SequentialInts: key = OrderedKey::from_int(id); break;
      case Data::RandomInts: key = OrderedKey::from_int(static_cast<int32_t>(rng())); break;
      case Data::RandomFloats: key = OrderedKey::from_float(normal(rng)); break;
      case Data::FewInts: key = OrderedKey::from_int(static_cast<int64_t>(rng() % 10)); break;
      case Data::SpreadFloats: key = OrderedKey::from_float(55000.0 * std::exp(0.45 * normal(rng) / 1000.0)); break;
    }
    batch.emplace_back(id, key);
    if (batch.size() == BATCH) flush();
    slot->sorted.push_back(key);
  }
  flush();
  for (uint32_t n = 0; n < IDS; ++n) slot->all.add(n * stride);  // one add per id, like an index's id set
  std::sort(slot->sorted.begin(), slot->sorted.end());
  return *slot;
}

const char* data_name(Data d) {
  switch (d) {
    case Data::SequentialInts: return "seq_ints";
    case Data::RandomInts: return "rand_ints";
    case Data::RandomFloats: return "rand_floats";
    case Data::FewInts: return "ten_ints";
    case Data::SpreadFloats: return "spread_floats";
  }
  return "";
}

// The stored key at `quantile` of the sorted keys.
OrderedKey key_at(const DataSet& d, double quantile) {
  return d.sorted[static_cast<size_t>(quantile * static_cast<double>(d.sorted.size() - 1))];
}

void run_compare(benchmark::State& state, Data data, CompareKernel kernel, double quantile) {
  const DataSet& d = data_set(data);
  const OrderedKey key = key_at(d, quantile);
  uint64_t found = 0;
  for (auto _ : state) {
    Bitmap out;
    kernel(d.nb, key.m, key.e, out, d.all);
    found = out.cardinality();
    benchmark::DoNotOptimize(out);
  }
  state.counters["ids"] = static_cast<double>(found);
}

void run_equal(benchmark::State& state, Data data, double quantile) {
  const DataSet& d = data_set(data);
  const OrderedKey key = key_at(d, quantile);
  uint64_t found = 0;
  for (auto _ : state) {
    Bitmap out = d.nb.equal(key);
    found = out.cardinality();
    benchmark::DoNotOptimize(out);
  }
  state.counters["ids"] = static_cast<double>(found);
}

// An inclusive range in one pass (get_between_into), or as two scans: at least
// `low` among the allowed ids, then at most `high` among those.
void run_range(benchmark::State& state, Data data, double low_quantile, double high_quantile, bool one_pass) {
  const DataSet& d = data_set(data);
  const OrderedKey low = key_at(d, low_quantile);
  const OrderedKey high = key_at(d, high_quantile);
  uint64_t found = 0;
  for (auto _ : state) {
    Bitmap out;
    if (one_pass) {
      get_between_into(d.nb, low, high, out, d.all);
    } else {
      Bitmap at_least;
      get_gte_into(d.nb, low.m, low.e, at_least, d.all);
      get_lte_into(d.nb, high.m, high.e, out, at_least);
    }
    found = out.cardinality();
    benchmark::DoNotOptimize(out);
  }
  state.counters["ids"] = static_cast<double>(found);
}

// The yardstick: one deep copy of the 1M-id allowed set.
void run_copy(benchmark::State& state, Data data) {
  const DataSet& d = data_set(data);
  for (auto _ : state) {
    Bitmap copy = d.all;
    benchmark::DoNotOptimize(copy);
  }
}

// The slice-by-slice definition with whole-bitmap CRoaring operations, for comparison.
void run_reference_gt(benchmark::State& state, Data data, double quantile) {
  const DataSet& d = data_set(data);
  const OrderedKey key = key_at(d, quantile);
  std::vector<std::pair<Bitmap, Bitmap>> sides;  // both sides of every slice, as the definition reads them
  for (unsigned i = 0; i < NumericalBitmap::KEY_BITS; ++i) sides.emplace_back(d.nb.side(i, false), d.nb.side(i, true));
  for (auto _ : state) {
    Bitmap out, q = d.all, t;
    for (int i = NumericalBitmap::KEY_BITS - 1; i >= 0 && !q.isEmpty(); --i) {
      const auto& [zeros, ones] = sides[static_cast<unsigned>(i)];
      if (!key.bit(static_cast<unsigned>(i))) {
        roaring_bitmap_overwrite(&t.roaring, &q.roaring);
        roaring_bitmap_and_inplace(&t.roaring, &ones.roaring);
        roaring_bitmap_or_inplace(&out.roaring, &t.roaring);
        roaring_bitmap_and_inplace(&q.roaring, &zeros.roaring);
      } else {
        roaring_bitmap_and_inplace(&q.roaring, &ones.roaring);
      }
    }
    benchmark::DoNotOptimize(out);
  }
}

bool cpu_has(const char* isa) {
#if VOSTREL_CONTAINER_KERNELS
  if (std::string(isa) == "avx512") {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
  }
  if (std::string(isa) == "avx2") return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
#endif
  (void)isa;
  return true;
}

void add(const std::string& name, void (*fn)(benchmark::State&, Data, CompareKernel, double), Data data,
         CompareKernel kernel, double quantile) {
  benchmark::RegisterBenchmark(name.c_str(), fn, data, kernel, quantile)->Unit(benchmark::kMicrosecond);
}

int register_all() {
  const Data datas[] = {Data::SequentialInts, Data::RandomInts, Data::RandomFloats, Data::FewInts, Data::SpreadFloats};
  for (Data data : datas) {
    const std::string name = data_name(data);
    benchmark::RegisterBenchmark(("copy_1M/" + name).c_str(), run_copy, data)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("eq/" + name).c_str(), run_equal, data, 0.5)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("range_10pct/" + name).c_str(), run_range, data, 0.80, 0.90, true)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("range_10pct_two_scans/" + name).c_str(), run_range, data, 0.80, 0.90, false)
        ->Unit(benchmark::kMicrosecond);
    const struct {
      const char* label;
      CompareKernel kernel;
      double low, high;  // quantiles giving about 1% and 50% of the ids
    } kernels[] = {{"gt", get_gt_into, 0.99, 0.5},
                   {"gte", get_gte_into, 0.99, 0.5},
                   {"lt", get_lt_into, 0.01, 0.5},
                   {"lte", get_lte_into, 0.01, 0.5}};
    for (const auto& k : kernels) {
      const std::string prefix = std::string(k.label) + "/" + name;
      if (data != Data::FewInts) add(prefix + "/low", run_compare, data, k.kernel, k.low);  // ten values: no 1%
      add(prefix + "/high", run_compare, data, k.kernel, k.high);
    }
  }
  // Each build by name, and the whole-bitmap reference, on the same query.
  const struct {
    const char* isa;
    CompareKernel kernel;
  } builds[] = {
    {"portable", get_gt_into_portable},
#if VOSTREL_CONTAINER_KERNELS
    {"sse2", get_gt_into_sse2}, {"avx2", get_gt_into_avx2}, {"avx512", get_gt_into_avx512},
#endif
  };
  for (Data data : {Data::RandomInts, Data::SequentialInts}) {
    for (const auto& b : builds) {
      if (!cpu_has(b.isa)) continue;
      add(std::string("gt_build/") + b.isa + "/" + data_name(data) + "/high", run_compare, data, b.kernel, 0.5);
    }
    benchmark::RegisterBenchmark((std::string("gt_reference/") + data_name(data) + "/high").c_str(), run_reference_gt,
                                 data, 0.5)
        ->Unit(benchmark::kMicrosecond);
  }
  return 0;
}

const int REGISTERED = register_all();

}  // namespace
}  // namespace vostrel
