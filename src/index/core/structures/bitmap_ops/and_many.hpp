// and_many: the intersection of several bitmaps in one pass per 65536-id chunk.
#pragma once

#include <roaring/roaring.h>

#include <span>

#include "index/core/structures/bitmap.hpp"

namespace vostrel {

// Instruction-set builds of the word kernels; the widest the processor supports is used.
enum class AndManyIsa { Sse2, Avx2, Avx512 };

// The intersection of `parts` (smallest first is fastest: its chunks drive the
// walk). Same set as chaining roaring_bitmap_and over them; no parts: empty.
// Chunks where every part has a bitset container are ANDed word by word across
// all parts at once and counted once, instead of once per pairwise AND.
Bitmap and_many(std::span<const roaring_bitmap_t* const> parts);

// and_many with a given build; the build must be supported (see below).
Bitmap and_many_with(std::span<const roaring_bitmap_t* const> parts, AndManyIsa isa);

// Whether this processor can run the given build.
bool and_many_isa_supported(AndManyIsa isa);

// The same set by ANDing the parts one after another on CRoaring's public API; and_many itself
// where the chunk kernels are not built (VOSTREL_CONTAINER_KERNELS is 0).
Bitmap and_many_portable(std::span<const roaring_bitmap_t* const> parts);

}  // namespace vostrel
