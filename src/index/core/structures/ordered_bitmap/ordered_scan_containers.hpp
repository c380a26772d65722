// Reading one chunk's CRoaring containers for the chunk scan: block-wise sides, membership probes, counts, and
// spreading a container into words. Part of the kernel builds (see ordered_bitmap_kernels.hpp): internal linkage
// and no standard-library templates, for the reason given there.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>
#include <cstring>

#include "index/core/structures/bitmap_ops/roaring_containers.hpp"
#include "index/core/structures/ordered_bitmap/ordered_scan_words.hpp"

namespace vostrel {
namespace {

// The ids of one slice side in one chunk, read a vector-sized block at a time: a bitset's words in place, or a
// sorted array's ids gathered into a block's bits as the blocks go by (blocks are visited in rising order, so a
// cursor walks the array once; ids of blocks skipped are stepped over).
struct SideWords {
  const uint64_t* words = nullptr;  // a bitset container's words, or null
  const uint16_t* values = nullptr; // an array container's ids when `words` is null
  int32_t count = 0;
  int32_t cursor = 0;

  static SideWords of_bitset(const uint64_t* words) { return SideWords{words, nullptr, 0, 0}; }
  static SideWords of_array(const array_container_t* array) {
    return SideWords{nullptr, array->array, array->cardinality, 0};
  }
  bool empty() const { return words == nullptr && values == nullptr; }

  // The side's bits in the words [w, w + VEC_WORDS).
  Vec block(uint32_t w) {
    Vec bits;
    if (words != nullptr) {
      std::memcpy(&bits, words + w, sizeof bits);
      return bits;
    }
    const uint32_t lo = w * 64;
    const uint32_t hi = lo + VEC_WORDS * 64;
    int32_t at = cursor;
    while (at < count && values[at] < lo) ++at;
    cursor = at;
    if (at == count || values[at] >= hi) return Vec{};  // the usual block of a small side: no id
    // Each word's bits gathered in a register and stored once: sorted ids fill one word after another.
    uint64_t lanes[VEC_WORDS] = {};
    uint32_t word = values[at] >> 6;
    uint64_t word_bits = 0;
    for (; at < count && values[at] < hi; ++at) {
      const uint32_t value = values[at];
      if ((value >> 6) != word) {
        lanes[word - w] = word_bits;
        word = value >> 6;
        word_bits = 0;
      }
      word_bits |= uint64_t{1} << (value & 63);
    }
    lanes[word - w] = word_bits;
    cursor = at;
    std::memcpy(&bits, lanes, sizeof bits);
    return bits;
  }
};

// Number of ids in a bitmap, exact for up to 64 containers, else estimated
// from 64 evenly spread ones (it only orders the equality steps).
uint64_t estimated_cardinality(const roaring_bitmap_t* bitmap) {
  const roaring_array_t& ra = bitmap->high_low_container;
  const int32_t sampled = ra.size < 64 ? ra.size : 64;
  uint64_t total = 0;
  for (int32_t j = 0; j < sampled; ++j) {
    const ContainerView c = view_of(ra.containers[static_cast<int64_t>(j) * ra.size / sampled],
                                    ra.typecodes[static_cast<int64_t>(j) * ra.size / sampled]);
    if (c.type == BITSET_CONTAINER_TYPE_CODE) {
      total += static_cast<uint64_t>(as_bitset(c)->cardinality);
    } else if (c.type == ARRAY_CONTAINER_TYPE_CODE) {
      total += static_cast<uint64_t>(as_array(c)->cardinality);
    } else {
      const run_container_t* run = as_run(c);
      for (int32_t r = 0; r < run->n_runs; ++r) total += uint64_t{run->runs[r].length} + 1;
    }
  }
  return sampled == 0 ? 0 : total * static_cast<uint64_t>(ra.size) / static_cast<uint64_t>(sampled);
}

// First index in the sorted `values[from, count)` whose value is >= v.
int32_t lower_bound_u16(const uint16_t* values, int32_t from, int32_t count, uint32_t v) {
  int32_t lo = from;
  int32_t hi = count;
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (values[mid] < v) lo = mid + 1; else hi = mid;
  }
  return lo;
}

// First run at or after `from` that ends at or after v.
int32_t first_run_reaching(const rle16_t* runs, int32_t from, int32_t count, uint32_t v) {
  int32_t lo = from;
  int32_t hi = count;
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (uint32_t{runs[mid].value} + runs[mid].length < v) lo = mid + 1; else hi = mid;
  }
  return lo;
}

// ORs the ids of `c` that fall in words [lo, hi) into `words`.
void or_container_words(uint64_t* words, ContainerView c, uint32_t lo, uint32_t hi) {
  if (lo >= hi) return;
  const uint32_t first = lo * 64;
  const uint32_t last = hi * 64 - 1;
  if (c.type == BITSET_CONTAINER_TYPE_CODE) {
    const uint64_t* source = as_bitset(c)->array;
    for (uint32_t w = lo; w < hi; w += VEC_WORDS) {
      Vec a, b;
      std::memcpy(&a, words + w, sizeof a);
      std::memcpy(&b, source + w, sizeof b);
      a |= b;
      std::memcpy(words + w, &a, sizeof a);
    }
  } else if (c.type == ARRAY_CONTAINER_TYPE_CODE) {
    // One OR per id, no branch on the word: an array's ids lie about one to a word (a running set of a few thousand
    // ids a chunk, as a conjunction hands a range), where a test for the next word mispredicted on every id and
    // cost more than the scan that follows.
    const array_container_t* array = as_array(c);
    const uint16_t* values = array->array;
    for (int32_t j = lower_bound_u16(values, 0, array->cardinality, first); j < array->cardinality && values[j] <= last;
         ++j) {
      words[values[j] >> 6] |= uint64_t{1} << (values[j] & 63);
    }
  } else {
    const run_container_t* run = as_run(c);
    for (int32_t j = first_run_reaching(run->runs, 0, run->n_runs, first); j < run->n_runs; ++j) {
      const uint32_t start = run->runs[j].value;
      if (start > last) break;
      const uint32_t end = start + run->runs[j].length;
      set_bits(words, start < first ? first : start, end > last ? last : end);
    }
  }
}

// Membership tests for rising positions against one container.
struct Probe {
  ContainerView c;
  int32_t cursor = 0;

  bool contains(uint16_t v) {
    if (c.type == BITSET_CONTAINER_TYPE_CODE) return ((as_bitset(c)->array[v >> 6] >> (v & 63)) & 1) != 0;
    if (c.type == ARRAY_CONTAINER_TYPE_CODE) {
      const array_container_t* array = as_array(c);
      cursor = lower_bound_u16(array->array, cursor, array->cardinality, v);
      return cursor < array->cardinality && array->array[cursor] == v;
    }
    const run_container_t* run = as_run(c);
    cursor = first_run_reaching(run->runs, cursor, run->n_runs, v);
    return cursor < run->n_runs && run->runs[cursor].value <= v;
  }
};

// Number of ids in a container, or -1 when a bitset's count is not known.
int32_t container_cardinality(ContainerView c) {
  if (c.type == BITSET_CONTAINER_TYPE_CODE) return as_bitset(c)->cardinality;
  if (c.type == ARRAY_CONTAINER_TYPE_CODE) return as_array(c)->cardinality;
  const run_container_t* run = as_run(c);
  int32_t total = 0;
  for (int32_t r = 0; r < run->n_runs; ++r) total += int32_t{run->runs[r].length} + 1;
  return total;
}

// Whether a slice's kept container holds every stored id of the chunk (it holds no others).
bool holds_all(ContainerView kept, ContainerView stored) {
  const int32_t count = container_cardinality(kept);
  return count >= 0 && count == container_cardinality(stored);
}

}  // namespace
}  // namespace vostrel
