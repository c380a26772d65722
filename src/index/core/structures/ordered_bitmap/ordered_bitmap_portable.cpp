// Comparison kernels on CRoaring's public API only: whole-bitmap set algebra, slice by slice.
//
// The build used where the chunk kernels cannot be (a CRoaring whose container layout they were not
// written for, a processor other than x86-64); always compiled, so the tests hold the two to the
// same answers. The walk is the definition itself: Q = the allowed stored ids; for each key bit from
// the top, report Q AND other-side when the comparison says so, then Q = Q AND key-side.
#include <roaring/roaring.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>

#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace vostrel {

namespace scan_support {
// Defined in ordered_bitmap.cpp (shared with the chunk kernels): the committed bitmaps of every slice.
void slice_bitmaps(const NumericalBitmap& nb, const roaring_bitmap_t** zeros, const roaring_bitmap_t** ones);
}  // namespace scan_support

namespace {

constexpr unsigned KEY_BITS = NumericalBitmap::KEY_BITS;

struct Slices {
  std::array<const roaring_bitmap_t*, KEY_BITS> zeros;
  std::array<const roaring_bitmap_t*, KEY_BITS> ones;

  explicit Slices(const NumericalBitmap& nb) { scan_support::slice_bitmaps(nb, zeros.data(), ones.data()); }
};

void copy_into(Bitmap& to, const roaring_bitmap_t* from) {
  if (!roaring_bitmap_overwrite(&to.roaring, from)) throw std::bad_alloc();
}

// The ids of `allowed` that are stored: every stored id sits in exactly one side of the top slice.
Bitmap allowed_stored(const Slices& s, const roaring_bitmap_t* allowed) {
  const unsigned top = KEY_BITS - 1;
  Bitmap q;
  copy_into(q, allowed);
  Bitmap other;
  copy_into(other, allowed);
  roaring_bitmap_and_inplace(&q.roaring, s.zeros[top]);
  roaring_bitmap_and_inplace(&other.roaring, s.ones[top]);
  roaring_bitmap_or_inplace(&q.roaring, &other.roaring);
  return q;
}

// ORs into `out` the ids of Q (stored ids only) whose key is above (Greater) or below (!Greater) the
// key (m, e), and those equal to it when `include_equal`. Q is consumed.
void ordered_walk(const Slices& s, Bitmap& q, bool greater, bool include_equal, uint64_t m, uint16_t e,
                  roaring_bitmap_t* out) {
  const OrderedKey key{m, e};
  Bitmap reported;
  for (unsigned i = KEY_BITS; i-- > 0 && !q.isEmpty();) {
    const bool bit = key.bit(i);
    const roaring_bitmap_t* key_side = bit ? s.ones[i] : s.zeros[i];
    const roaring_bitmap_t* other_side = bit ? s.zeros[i] : s.ones[i];
    if (roaring_bitmap_is_empty(other_side)) continue;  // Q is stored ids: all of them have the key's bit
    // The ids leaving Q here differ from the key first at this bit: above it where the key has a 0.
    if (greater != bit) {
      copy_into(reported, &q.roaring);
      roaring_bitmap_and_inplace(&reported.roaring, other_side);
      roaring_bitmap_or_inplace(out, &reported.roaring);
    }
    roaring_bitmap_and_inplace(&q.roaring, key_side);
  }
  if (include_equal) roaring_bitmap_or_inplace(out, &q.roaring);
}

void compare(const NumericalBitmap& nb, bool greater, bool include_equal, uint64_t m, uint16_t e, Bitmap& out,
             const Bitmap& allowed) {
  const Slices s(nb);
  Bitmap q = allowed_stored(s, &allowed.roaring);  // a copy first: `out` may be `allowed`
  ordered_walk(s, q, greater, include_equal, m, e, &out.roaring);
}

}  // namespace

void get_gt_into_portable(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  compare(nb, true, false, m, e, out, allowed);
}

void get_gte_into_portable(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  compare(nb, true, true, m, e, out, allowed);
}

void get_lt_into_portable(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  compare(nb, false, false, m, e, out, allowed);
}

void get_lte_into_portable(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  compare(nb, false, true, m, e, out, allowed);
}

void get_eq_into_portable(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap* allowed) {
  // Equality is the AND of the key sides, in any order: smallest first, so Q shrinks soonest.
  const Slices s(nb);
  const OrderedKey key{m, e};
  std::array<const roaring_bitmap_t*, KEY_BITS> sides;
  std::array<uint64_t, KEY_BITS> sizes;
  for (unsigned i = 0; i < KEY_BITS; ++i) {
    sides[i] = key.bit(i) ? s.ones[i] : s.zeros[i];
    sizes[i] = roaring_bitmap_get_cardinality(sides[i]);
    if (sizes[i] == 0) return;  // no stored key has the key's bit here
  }
  std::array<unsigned, KEY_BITS> order;
  for (unsigned i = 0; i < KEY_BITS; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&sizes](unsigned a, unsigned b) { return sizes[a] < sizes[b]; });
  Bitmap q;
  copy_into(q, sides[order[0]]);
  if (allowed != nullptr) roaring_bitmap_and_inplace(&q.roaring, &allowed->roaring);
  for (unsigned k = 1; k < KEY_BITS && !q.isEmpty(); ++k) roaring_bitmap_and_inplace(&q.roaring, sides[order[k]]);
  roaring_bitmap_or_inplace(&out.roaring, &q.roaring);
}

void get_between_into_portable(const NumericalBitmap& nb, OrderedKey low, OrderedKey high, Bitmap& out,
                               const Bitmap& allowed) {
  if (low > high) return;
  const Slices s(nb);
  Bitmap q = allowed_stored(s, &allowed.roaring);
  Bitmap at_least;
  ordered_walk(s, q, true, true, low.m, low.e, &at_least.roaring);
  ordered_walk(s, at_least, false, true, high.m, high.e, &out.roaring);
}

}  // namespace vostrel
