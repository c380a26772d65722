// add_ids: a list of ids into a bitmap, rising runs written straight into their containers.
#pragma once

#include <roaring/roaring.h>

#include <cstddef>
#include <cstdint>

namespace vostrel {

// Adds `ids` to `bitmap`: the same set as roaring_bitmap_add_many. A bulk flush hands over ids in the order they were
// handed out, so they mostly rise: each rising run within one 65536-id chunk is copied into its container in one
// go (a new container made at its final size, or one merge into an array the run falls among) instead of one
// container insert per id. Ids in any other order are sorted first. Throws std::bad_alloc when a container cannot be
// made; the ids added before stay.
void add_ids(roaring_bitmap_t* bitmap, const uint32_t* ids, size_t count);

// The same set on CRoaring's public API (roaring_bitmap_add_many); add_ids itself where the chunk kernels are not
// built (VOSTREL_CONTAINER_KERNELS is 0).
void add_ids_portable(roaring_bitmap_t* bitmap, const uint32_t* ids, size_t count);

// Adds the ids marked in a plain bit array (bit b of words[w] is id 64 * w + b) to `bitmap`. Into an empty bitmap
// each chunk's container is made at once from its 1024 words: a copy of them where the chunk is dense, its ids
// where it is sparse, with no list of every id in between. Throws std::bad_alloc when a container cannot be made.
void add_marked_ids(roaring_bitmap_t* bitmap, const uint64_t* words, size_t word_count);

// The same set on CRoaring's public API; add_marked_ids itself where the chunk kernels are not built.
void add_marked_ids_portable(roaring_bitmap_t* bitmap, const uint64_t* words, size_t word_count);

}  // namespace vostrel
