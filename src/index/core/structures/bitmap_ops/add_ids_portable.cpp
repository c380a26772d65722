// add_ids on CRoaring's public API only.
//
// Always compiled, so the tests hold the chunk kernel to its answers. Where the chunk kernels are not built it is
// add_ids itself.
#include <roaring/roaring.h>

#include "index/core/structures/bitmap_ops/add_ids.hpp"

#if !defined(VOSTREL_CONTAINER_KERNELS)
#error "VOSTREL_CONTAINER_KERNELS (0 or 1) must be defined by the build"
#endif

namespace vostrel {

void add_ids_portable(roaring_bitmap_t* bitmap, const uint32_t* ids, size_t count) {
  if (count != 0) roaring_bitmap_add_many(bitmap, count, ids);
}

#if !VOSTREL_CONTAINER_KERNELS
void add_ids(roaring_bitmap_t* bitmap, const uint32_t* ids, size_t count) { add_ids_portable(bitmap, ids, count); }
#endif

}  // namespace vostrel
