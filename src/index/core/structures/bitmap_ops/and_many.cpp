// and_many: chunk walk, container reading and output building; baseline word kernels and the choice of build.
#include "index/core/structures/bitmap_ops/and_many.hpp"

#include <roaring/roaring.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "index/core/structures/bitmap_ops/and_many_kernels.hpp"
#include "index/core/structures/bitmap_ops/roaring_containers.hpp"

namespace vostrel {

namespace and_many_detail {
WordKernels word_kernels_sse2() { return {and_count_words, count_words, decode_words}; }
}  // namespace and_many_detail

namespace {

using and_many_detail::CHUNK_WORDS;
using and_many_detail::WordKernels;

constexpr int32_t ARRAY_MAX = 4096;  // CRoaring keeps containers of up to 4096 ids as arrays

bool isa_supported(AndManyIsa isa) {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                    __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  if (isa == AndManyIsa::Sse2) return true;
  if (isa == AndManyIsa::Avx2) return avx2;
  return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
}

WordKernels kernels_for(AndManyIsa isa) {
  switch (isa) {
    case AndManyIsa::Avx512: return and_many_detail::word_kernels_avx512();
    case AndManyIsa::Avx2: return and_many_detail::word_kernels_avx2();
    case AndManyIsa::Sse2: break;
  }
  return and_many_detail::word_kernels_sse2();
}

// The widest supported build, chosen once (thread-safe static initialisation).
const WordKernels& selected_kernels() {
  static const WordKernels selected = kernels_for(isa_supported(AndManyIsa::Avx512) ? AndManyIsa::Avx512
                                                  : isa_supported(AndManyIsa::Avx2) ? AndManyIsa::Avx2
                                                                                     : AndManyIsa::Sse2);
  return selected;
}


// First index in [from, count) whose entry is not below v (below(i): entry i is
// below v). Gallops from `from`: the probes of one chunk ask for rising values,
// so the answer is usually a step or two ahead.
template <typename Below>
int32_t gallop(int32_t from, int32_t count, Below below) {
  if (from >= count || !below(from)) return from;
  int32_t lo = from;  // below(lo) holds
  int32_t step = 1;
  int32_t hi = from + 1;
  while (hi < count && below(hi)) {
    lo = hi;
    step *= 2;
    hi = lo + step;
  }
  if (hi > count) hi = count;
  ++lo;
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (below(mid)) lo = mid + 1; else hi = mid;
  }
  return lo;
}

// Membership tests for rising values against one container.
struct Probe {
  ContainerView c;
  int32_t cursor = 0;

  bool contains(uint16_t v) {
    if (c.type == BITSET_CONTAINER_TYPE_CODE) return ((as_bitset(c)->array[v >> 6] >> (v & 63)) & 1) != 0;
    if (c.type == ARRAY_CONTAINER_TYPE_CODE) {
      const array_container_t* array = as_array(c);
      const uint16_t* values = array->array;
      cursor = gallop(cursor, array->cardinality, [values, v](int32_t i) { return values[i] < v; });
      return cursor < array->cardinality && values[cursor] == v;
    }
    const run_container_t* run = as_run(c);
    const rle16_t* runs = run->runs;
    cursor = gallop(cursor, run->n_runs,
                    [runs, v](int32_t i) { return uint32_t{runs[i].value} + runs[i].length < v; });
    return cursor < run->n_runs && runs[cursor].value <= v;
  }
};

// Clears the bits first..last (inclusive) of the chunk.
void clear_bits(uint64_t* words, uint32_t first, uint32_t last) {
  const uint32_t first_word = first >> 6;
  const uint32_t last_word = last >> 6;
  const uint64_t head = ~uint64_t{0} << (first & 63);
  const uint64_t tail = ~uint64_t{0} >> (63 - (last & 63));
  if (first_word == last_word) {
    words[first_word] &= ~(head & tail);
    return;
  }
  words[first_word] &= ~head;
  std::memset(words + first_word + 1, 0, (last_word - first_word - 1) * sizeof(uint64_t));
  words[last_word] &= ~tail;
}

// Keeps only the ids of the chunk covered by the run container's runs.
void keep_runs(uint64_t* words, const run_container_t* run) {
  uint32_t next = 0;  // first id not yet known to be covered or cleared
  for (int32_t r = 0; r < run->n_runs; ++r) {
    const uint32_t start = run->runs[r].value;
    if (start > next) clear_bits(words, next, start - 1);
    next = start + run->runs[r].length + 1;
  }
  if (next < 65536) clear_bits(words, next, 65535);
}

// Room for one more chunk in the output, so appending cannot fail after a container exists.
void reserve_chunk(roaring_bitmap_t* out) {
  if (!extend_array(&out->high_low_container, 1)) throw std::bad_alloc();
}

void append_array(roaring_bitmap_t* out, uint16_t key, const uint16_t* values, int32_t count) {
  reserve_chunk(out);
  array_container_t* array = array_container_create_given_capacity(count);
  if (array == nullptr) throw std::bad_alloc();
  std::memcpy(array->array, values, static_cast<size_t>(count) * sizeof(uint16_t));
  array->cardinality = count;
  ra_append(&out->high_low_container, key, array, ARRAY_CONTAINER_TYPE_CODE);
}

// Appends the chunk held in `words` with `cardinality` ids, as CRoaring would store it.
void append_words(roaring_bitmap_t* out, uint16_t key, const uint64_t* words, uint32_t cardinality,
                  const WordKernels& kernels) {
  if (cardinality == 0) return;
  reserve_chunk(out);
  if (cardinality > static_cast<uint32_t>(ARRAY_MAX)) {
    bitset_container_t* bitset = bitset_container_create();
    if (bitset == nullptr) throw std::bad_alloc();
    std::memcpy(bitset->array, words, CHUNK_WORDS * sizeof(uint64_t));
    bitset->cardinality = static_cast<int32_t>(cardinality);
    ra_append(&out->high_low_container, key, bitset, BITSET_CONTAINER_TYPE_CODE);
    return;
  }
  array_container_t* array = array_container_create_given_capacity(static_cast<int32_t>(cardinality) + 3);
  if (array == nullptr) throw std::bad_alloc();
  array->cardinality = static_cast<int32_t>(kernels.decode(words, array->array));
  ra_append(&out->high_low_container, key, array, ARRAY_CONTAINER_TYPE_CODE);
}

// Per-call scratch, on the caller's stack: nothing is allocated per chunk.
struct alignas(64) ChunkBuffers {
  uint64_t words[CHUNK_WORDS];
  uint16_t values[ARRAY_MAX];
  bool words_zero = false;  // whether `words` is all zero (the array path's marks)
};

// Keeps the ids of values[0..count) present in the bitset, in place; returns how many are left.
int32_t filter_by_bitset(uint16_t* values, int32_t count, const uint64_t* words) {
  int32_t kept = 0;
  for (int32_t j = 0; j < count; ++j) {
    const uint16_t v = values[j];
    values[kept] = v;  // written always, kept only when present: no branch to mispredict
    kept += static_cast<int32_t>((words[v >> 6] >> (v & 63)) & 1);
  }
  return kept;
}

// Keeps the ids of values[0..count) present in the sorted `other`, in place; returns how many are left.
// Callers cut by the smallest array first, so `other` is never the smaller list.
// `marks` is a zeroed chunk of words, left zeroed.
int32_t filter_by_array(uint16_t* values, int32_t count, const uint16_t* other, int32_t other_count,
                        uint64_t* marks) {
  int32_t kept = 0;
  if (other_count > 16 * count) {  // far larger: jump through it
    int32_t cursor = 0;
    for (int32_t j = 0; j < count; ++j) {
      const uint16_t v = values[j];
      cursor = gallop(cursor, other_count, [other, v](int32_t i) { return other[i] < v; });
      if (cursor == other_count) break;
      if (other[cursor] == v) values[kept++] = v;
    }
    return kept;
  }
  if (other_count < 256) {  // too small to pay for clearing the marks: merge
    int32_t j = 0;
    int32_t i = 0;
    while (j < count && i < other_count) {
      if (values[j] < other[i]) {
        ++j;
      } else if (other[i] < values[j]) {
        ++i;
      } else {
        values[kept++] = values[j];
        ++j;
        ++i;
      }
    }
    return kept;
  }
  // Comparable sizes: mark `other` in the zeroed chunk words, test the ids against
  // the marks, then unmark. Independent stores and loads, where a merge would
  // wait on each unpredictable comparison.
  for (int32_t i = 0; i < other_count; ++i) marks[other[i] >> 6] |= uint64_t{1} << (other[i] & 63);
  kept = filter_by_bitset(values, count, marks);
  for (int32_t i = 0; i < other_count; ++i) marks[other[i] >> 6] = 0;
  return kept;
}

// Keeps the ids of values[0..count) covered by the run container, in place; returns how many are left.
int32_t filter_by_runs(uint16_t* values, int32_t count, ContainerView runs) {
  Probe probe{runs};
  int32_t kept = 0;
  for (int32_t j = 0; j < count; ++j) {
    if (probe.contains(values[j])) values[kept++] = values[j];
  }
  return kept;
}

// Intersects a chunk holding at least one array: the smallest array's ids are cut
// by the bitsets (cheapest per id), then the other arrays smallest first, then the runs.
void and_array_chunk(roaring_bitmap_t* out, uint16_t key, const ContainerView* views, size_t n, size_t driver,
                     std::vector<Probe>& order, ChunkBuffers& buffers) {
  const array_container_t* first = as_array(views[driver]);
  int32_t count = first->cardinality;
  std::memcpy(buffers.values, first->array, static_cast<size_t>(count) * sizeof(uint16_t));
  order.clear();
  for (size_t k = 0; k < n && count != 0; ++k) {
    if (k == driver) continue;
    if (views[k].type == BITSET_CONTAINER_TYPE_CODE) {
      count = filter_by_bitset(buffers.values, count, as_bitset(views[k])->array);
    } else {
      order.push_back(Probe{views[k]});
    }
  }
  // Insertion sort by size (few parts): arrays by cardinality, runs after them.
  auto size_of = [](const Probe& p) {
    return p.c.type == ARRAY_CONTAINER_TYPE_CODE ? as_array(p.c)->cardinality : INT32_MAX;
  };
  for (size_t s = 1; s < order.size(); ++s) {
    const Probe moving = order[s];
    size_t t = s;
    for (; t > 0 && size_of(order[t - 1]) > size_of(moving); --t) order[t] = order[t - 1];
    order[t] = moving;
  }
  for (const Probe& p : order) {
    if (count == 0) break;
    if (p.c.type == ARRAY_CONTAINER_TYPE_CODE) {
      if (!buffers.words_zero) {
        std::memset(buffers.words, 0, sizeof buffers.words);
        buffers.words_zero = true;
      }
      count = filter_by_array(buffers.values, count, as_array(p.c)->array, as_array(p.c)->cardinality,
                              buffers.words);
    } else {
      count = filter_by_runs(buffers.values, count, p.c);
    }
  }
  if (count != 0) append_array(out, key, buffers.values, count);
}

// Intersects one chunk whose containers are all present (views[0..n)) into `out`.
void and_chunk(roaring_bitmap_t* out, uint16_t key, const ContainerView* views, size_t n,
               std::vector<const uint64_t*>& bitsets, std::vector<Probe>& probes, ChunkBuffers& buffers,
               const WordKernels& kernels) {
  // An array bounds the answer to at most its ids: the smallest one drives.
  size_t driver = n;
  for (size_t k = 0; k < n; ++k) {
    if (views[k].type == ARRAY_CONTAINER_TYPE_CODE &&
        (driver == n || as_array(views[k])->cardinality < as_array(views[driver])->cardinality)) {
      driver = k;
    }
  }
  if (driver != n) {
    and_array_chunk(out, key, views, n, driver, probes, buffers);
    return;
  }
  // Only bitsets and runs: AND the bitsets word by word, then cut to the runs.
  bitsets.clear();
  bool has_runs = false;
  for (size_t k = 0; k < n; ++k) {
    if (views[k].type == BITSET_CONTAINER_TYPE_CODE) {
      bitsets.push_back(as_bitset(views[k])->array);
    } else {
      has_runs = true;
    }
  }
  uint32_t cardinality = 0;
  buffers.words_zero = false;
  if (!bitsets.empty()) {
    cardinality = kernels.and_count(bitsets.data(), static_cast<uint32_t>(bitsets.size()), buffers.words);
    if (cardinality == 0) return;
  } else {
    std::memset(buffers.words, 0xFF, sizeof buffers.words);
  }
  if (has_runs) {
    for (size_t k = 0; k < n; ++k) {
      if (views[k].type == RUN_CONTAINER_TYPE_CODE) keep_runs(buffers.words, as_run(views[k]));
    }
    cardinality = kernels.count(buffers.words);
  }
  append_words(out, key, buffers.words, cardinality, kernels);
}

Bitmap and_many_using(std::span<const roaring_bitmap_t* const> parts, const WordKernels& kernels) {
  Bitmap result;
  if (parts.empty()) return result;
  if (parts.size() == 1) {
    if (!roaring_bitmap_overwrite(&result.roaring, parts[0])) throw std::bad_alloc();
    return result;
  }
  const size_t n = parts.size();
  std::vector<int32_t> cursors(n, 0);
  std::vector<ContainerView> views(n);
  std::vector<const uint64_t*> bitsets;
  std::vector<Probe> probes;
  bitsets.reserve(n);
  probes.reserve(n);
  ChunkBuffers buffers;

  const roaring_array_t& chunks = parts[0]->high_low_container;
  for (int32_t ci = 0; ci < chunks.size; ++ci) {
    const uint16_t key = chunks.keys[ci];
    views[0] = view_of(chunks.containers[ci], chunks.typecodes[ci]);
    bool in_all = true;
    for (size_t k = 1; k < n && in_all; ++k) {
      views[k] = find_container(parts[k], key, cursors[k]);
      in_all = views[k].type != 0;
      // A part with no chunks left ends the walk: no later chunk can be in all.
      if (!in_all && cursors[k] >= parts[k]->high_low_container.size) return result;
    }
    if (in_all) and_chunk(&result.roaring, key, views.data(), n, bitsets, probes, buffers, kernels);
  }
  return result;
}

}  // namespace

bool and_many_isa_supported(AndManyIsa isa) { return isa_supported(isa); }

Bitmap and_many(std::span<const roaring_bitmap_t* const> parts) { return and_many_using(parts, selected_kernels()); }

Bitmap and_many_with(std::span<const roaring_bitmap_t* const> parts, AndManyIsa isa) {
  return and_many_using(parts, kernels_for(isa));
}

}  // namespace vostrel
