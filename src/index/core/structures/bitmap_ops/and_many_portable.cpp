// and_many on CRoaring's public API only: the parts ANDed one after another.
//
// Always compiled, so the tests hold it to the chunk kernels' answers. Where the chunk kernels are not
// built (a CRoaring whose container layout they were not written for, a processor other than x86-64)
// it is and_many itself, and every build name runs it.
#include <roaring/roaring.h>

#include <new>

#include "index/core/structures/bitmap_ops/and_many.hpp"

// Set by the build (CMakeLists.txt) for the whole native library: 1 where the chunk kernels are built.
#if !defined(VOSTREL_CONTAINER_KERNELS)
#error "VOSTREL_CONTAINER_KERNELS (0 or 1) must be defined by the build"
#endif

namespace vostrel {

Bitmap and_many_portable(std::span<const roaring_bitmap_t* const> parts) {
  Bitmap result;
  if (parts.empty()) return result;
  if (!roaring_bitmap_overwrite(&result.roaring, parts[0])) throw std::bad_alloc();
  for (size_t k = 1; k < parts.size() && !result.isEmpty(); ++k) roaring_bitmap_and_inplace(&result.roaring, parts[k]);
  return result;
}

#if !VOSTREL_CONTAINER_KERNELS
// Only the baseline counts as supported, so callers that try every build run this one once.
bool and_many_isa_supported(AndManyIsa isa) { return isa == AndManyIsa::Sse2; }

Bitmap and_many(std::span<const roaring_bitmap_t* const> parts) { return and_many_portable(parts); }

Bitmap and_many_with(std::span<const roaring_bitmap_t* const> parts, AndManyIsa) { return and_many_portable(parts); }
#endif

}  // namespace vostrel
