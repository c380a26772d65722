// Bitmap: the owning Roaring bitmap of 32-bit ids used for every id set and result.
#pragma once

#include <roaring/roaring.hh>

namespace vostrel {

// CRoaring's C++ class owns its containers (RAII, copy = deep copy, move = steal).
// The raw `roaring_bitmap_t` is reachable as `bitmap.roaring` for the C calls
// (`roaring_bitmap_and_inplace(&a.roaring, &b.roaring)` and friends).
using Bitmap = ::Roaring;

}  // namespace vostrel
