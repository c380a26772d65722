// add_ids as a chunk kernel: reads and writes CRoaring's containers directly (the layout of the version we link,
// Debian's 0.2.66; revisit when upgrading it).
#include "index/core/structures/bitmap_ops/add_ids.hpp"

#include <roaring/roaring.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "index/core/structures/bitmap_ops/roaring_containers.hpp"

namespace vostrel {
namespace {

// Below this many ids a run is as cheap the ordinary way.
constexpr size_t SHORT_RUN = 4;

uint16_t low_of(uint32_t id) { return static_cast<uint16_t>(id & 0xffff); }

// Sets the low halves of `ids` in a bitset container and keeps its count.
void set_bits(bitset_container_t* bitset, const uint32_t* ids, size_t count) {
  uint64_t* words = bitset->array;
  int32_t added = 0;
  for (size_t at = 0; at < count; ++at) {
    const uint16_t low = low_of(ids[at]);
    const uint64_t bit = uint64_t{1} << (low & 63);
    uint64_t& word = words[low >> 6];
    added += (word & bit) == 0;
    word |= bit;
  }
  bitset->cardinality += added;
}

// A new container holding the run, at its final size.
void* new_container(const uint32_t* ids, size_t count, uint8_t& type) {
  if (count > DEFAULT_MAX_SIZE) {
    bitset_container_t* bitset = bitset_container_create();
    if (bitset == nullptr) throw std::bad_alloc();
    set_bits(bitset, ids, count);
    type = BITSET_CONTAINER_TYPE_CODE;
    return bitset;
  }
  array_container_t* array = array_container_create_given_capacity(static_cast<int32_t>(count));
  if (array == nullptr) throw std::bad_alloc();
  for (size_t at = 0; at < count; ++at) array->array[at] = low_of(ids[at]);
  array->cardinality = static_cast<int32_t>(count);
  type = ARRAY_CONTAINER_TYPE_CODE;
  return array;
}

// Adds a rising run of ids of one chunk to the container at `index`; false when the run is left to the ordinary
// path (a run container or a shared one).
bool add_to_container(roaring_array_t& chunks, int32_t index, const uint32_t* ids, size_t count) {
  const uint8_t type = chunks.typecodes[index];
  void* container = chunks.containers[index];
  if (type == BITSET_CONTAINER_TYPE_CODE) {
    set_bits(static_cast<bitset_container_t*>(container), ids, count);
    return true;
  }
  if (type != ARRAY_CONTAINER_TYPE_CODE) return false;
  auto* array = static_cast<array_container_t*>(container);
  const size_t total = static_cast<size_t>(array->cardinality) + count;
  if (total > DEFAULT_MAX_SIZE) {
    // Past an array's bound unless the run repeats ids the array holds: the union as a bitset, kept if it is one.
    bitset_container_t* bitset = bitset_container_from_array(array);
    if (bitset == nullptr) throw std::bad_alloc();
    set_bits(bitset, ids, count);
    if (bitset->cardinality > DEFAULT_MAX_SIZE) {
      ra_set_container_at_index(&chunks, index, bitset, BITSET_CONTAINER_TYPE_CODE);
      array_container_free(array);
      return true;
    }
    bitset_container_free(bitset);
  }
  if (array->cardinality != 0 && array->array[array->cardinality - 1] >= low_of(ids[0])) {
    // The run falls among the array's ids (ids added out of order, over several calls): one merge into a new array.
    // The union fits an array (a larger one left as a bitset above).
    array_container_t* merged =
        array_container_create_given_capacity(static_cast<int32_t>(std::min<size_t>(total, DEFAULT_MAX_SIZE)));
    if (merged == nullptr) throw std::bad_alloc();
    const uint16_t* have = array->array;
    const size_t have_count = static_cast<size_t>(array->cardinality);
    uint16_t* out = merged->array;
    size_t a = 0;
    size_t b = 0;
    size_t written = 0;
    while (a < have_count && b < count) {
      const uint16_t mine = have[a];
      const uint16_t theirs = low_of(ids[b]);
      out[written++] = mine < theirs ? mine : theirs;
      a += mine <= theirs;
      b += theirs <= mine;
    }
    for (; a < have_count; ++a) out[written++] = have[a];
    for (; b < count; ++b) out[written++] = low_of(ids[b]);
    merged->cardinality = static_cast<int32_t>(written);
    ra_set_container_at_index(&chunks, index, merged, ARRAY_CONTAINER_TYPE_CODE);
    array_container_free(array);
    return true;
  }
  if (static_cast<size_t>(array->capacity) < total) {
    array_container_grow(array, static_cast<int32_t>(total), true);
    if (array->array == nullptr) throw std::bad_alloc();
  }
  uint16_t* tail = array->array + array->cardinality;
  for (size_t at = 0; at < count; ++at) tail[at] = low_of(ids[at]);
  array->cardinality = static_cast<int32_t>(total);
  return true;
}

}  // namespace

void add_ids(roaring_bitmap_t* bitmap, const uint32_t* ids, size_t count) {
  if (count < 2 * SHORT_RUN) {
    if (count != 0) roaring_bitmap_add_many(bitmap, count, ids);
    return;
  }
  roaring_array_t& chunks = bitmap->high_low_container;
  std::vector<uint32_t> rest;  // the ids from the first one out of order, sorted; only for a list out of order
  bool sorted = false;
  size_t begin = 0;
  while (begin < count) {
    const uint32_t high = ids[begin] >> 16;
    size_t end = begin + 1;
    while (end < count && ids[end] > ids[end - 1] && (ids[end] >> 16) == high) ++end;
    if (!sorted && end < count && ids[end] <= ids[end - 1]) {
      // Out of order from here (objects indexed in another order than they were made): the rest goes in sorted, as
      // one insert per id into an array would shift the ids after it.
      rest.assign(ids + begin, ids + count);
      std::sort(rest.begin(), rest.end());
      rest.erase(std::unique(rest.begin(), rest.end()), rest.end());
      ids = rest.data();
      count = rest.size();
      begin = 0;
      sorted = true;
      continue;
    }
    const size_t length = end - begin;
    bool added = false;
    if (length >= SHORT_RUN) {
      const int32_t index = ra_get_index(&chunks, static_cast<uint16_t>(high));
      if (index < 0) {
        uint8_t type = 0;
        void* container = new_container(ids + begin, length, type);
        ra_insert_new_key_value_at(&chunks, -index - 1, static_cast<uint16_t>(high), container, type);
        added = true;
      } else {
        added = add_to_container(chunks, index, ids + begin, length);
      }
    }
    if (!added) roaring_bitmap_add_many(bitmap, length, ids + begin);
    begin = end;
  }
}

void add_marked_ids(roaring_bitmap_t* bitmap, const uint64_t* words, size_t word_count) {
  roaring_array_t& chunks = bitmap->high_low_container;
  if (chunks.size != 0) {
    // Containers already there: the ids join them through the ordinary path.
    add_marked_ids_portable(bitmap, words, word_count);
    return;
  }
  constexpr size_t CHUNK_WORDS = 1024;  // 65536 ids
  for (size_t first = 0; first < word_count; first += CHUNK_WORDS) {
    const size_t count = std::min(CHUNK_WORDS, word_count - first);
    const uint64_t* chunk = words + first;
    int32_t held = 0;
    for (size_t w = 0; w < count; ++w) held += static_cast<int32_t>(popcount64(chunk[w]));
    if (held == 0) continue;
    const uint16_t key = static_cast<uint16_t>(first / CHUNK_WORDS);
    if (held > DEFAULT_MAX_SIZE) {
      bitset_container_t* bitset = bitset_container_create();
      if (bitset == nullptr) throw std::bad_alloc();
      std::memcpy(bitset->array, chunk, count * sizeof(uint64_t));
      bitset->cardinality = held;
      ra_append(&chunks, key, bitset, BITSET_CONTAINER_TYPE_CODE);
      continue;
    }
    array_container_t* array = array_container_create_given_capacity(held);
    if (array == nullptr) throw std::bad_alloc();
    uint16_t* out = array->array;
    for (size_t w = 0; w < count; ++w) {
      for (uint64_t bits = chunk[w]; bits != 0; bits &= bits - 1) {
        *out++ = static_cast<uint16_t>((w << 6) + static_cast<size_t>(std::countr_zero(bits)));
      }
    }
    array->cardinality = held;
    ra_append(&chunks, key, array, ARRAY_CONTAINER_TYPE_CODE);
  }
}

}  // namespace vostrel
