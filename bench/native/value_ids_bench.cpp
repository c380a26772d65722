// Narrowing the value -> ids maps as a prune does: a million ids, one in ten kept, in the two shapes that cost most
// (a table of unique values; ordered numbers a few ids each), and the kept-id filter itself.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <random>

#include "index/core/structures/id_filter/id_filter.hpp"
#include "index/core/structures/value_ids/ordered_id_map.hpp"
#include "index/core/structures/value_ids/value_id_map.hpp"

namespace vostrel {
namespace {

constexpr uint32_t IDS = 1000000;

struct SpreadHash {
  uint64_t operator()(uint64_t key) const noexcept { return key * 0x9e3779b97f4a7c15ULL; }
};
using UniqueValues = ValueIdMap<uint64_t, SpreadHash, std::equal_to<uint64_t>>;

const Bitmap& one_in_ten() {
  static const Bitmap kept = [] {
    Bitmap ids;
    for (uint32_t id = 0; id < IDS; id += 10) ids.add(id);
    return ids;
  }();
  return kept;
}

void BM_IdFilterBuild(benchmark::State& state) {
  for (auto _ : state) {
    IdFilter filter(one_in_ten());
    benchmark::DoNotOptimize(filter.contains(5));
  }
}
BENCHMARK(BM_IdFilterBuild)->Unit(benchmark::kMillisecond);

// Every id its own value (names, e-mail addresses).
void BM_ValueIdMapKeepOnlyTenth(benchmark::State& state) {
  const IdFilter kept(one_in_ten());
  for (auto _ : state) {
    state.PauseTiming();
    UniqueValues map;
    for (uint32_t id = 0; id < IDS; ++id) map.add(uint64_t{id} * 7919, id);
    state.ResumeTiming();
    map.keep_only(kept);
    benchmark::DoNotOptimize(map.size());
    state.PauseTiming();
    map = UniqueValues();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ValueIdMapKeepOnlyTenth)->Unit(benchmark::kMillisecond);

// 180k numbers, five or six ids each (salaries): nearly every entry has a side set.
void BM_OrderedIdMapKeepOnlyTenth(benchmark::State& state) {
  const IdFilter kept(one_in_ten());
  for (auto _ : state) {
    state.PauseTiming();
    OrderedIdMap<int64_t> map;
    std::mt19937 rng(7);
    for (uint32_t id = 0; id < IDS; ++id) map.add(static_cast<int64_t>(rng() % 180000), id);
    state.ResumeTiming();
    map.keep_only(kept);
    benchmark::DoNotOptimize(map.size());
    state.PauseTiming();
    map = OrderedIdMap<int64_t>();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_OrderedIdMapKeepOnlyTenth)->Unit(benchmark::kMillisecond);

// Two halves of the same numbers merged (union_with of two indexes).
void BM_OrderedIdMapMergeHalves(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    OrderedIdMap<int64_t> left;
    OrderedIdMap<int64_t> right;
    std::mt19937 rng(8);
    for (uint32_t id = 0; id < IDS; ++id) (id < IDS / 2 ? left : right).add(static_cast<int64_t>(rng() % 180000), id);
    state.ResumeTiming();
    left.merge_from(right, nullptr);
    benchmark::DoNotOptimize(left.size());
    state.PauseTiming();
    left = OrderedIdMap<int64_t>();
    right = OrderedIdMap<int64_t>();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_OrderedIdMapMergeHalves)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vostrel
