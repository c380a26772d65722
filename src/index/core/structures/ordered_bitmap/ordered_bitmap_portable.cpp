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
// Defined in ordered_bitmap.cpp (shared with the chunk kernels): the kept side of every slice, the bit of each kept
// side, and the stored ids.
void slice_bitmaps(const NumericalBitmap& nb, const roaring_bitmap_t** kept, bool* kept_bits,
                   const roaring_bitmap_t** stored);
}  // namespace scan_support

namespace {

constexpr unsigned KEY_BITS = NumericalBitmap::KEY_BITS;

struct Slices {
  std::array<const roaring_bitmap_t*, KEY_BITS> kept;
  std::array<bool, KEY_BITS> kept_bits;
  const roaring_bitmap_t* stored = nullptr;

  explicit Slices(const NumericalBitmap& nb) {
    scan_support::slice_bitmaps(nb, kept.data(), kept_bits.data(), &stored);
  }
};

void copy_into(Bitmap& to, const roaring_bitmap_t* from) {
  if (!roaring_bitmap_overwrite(&to.roaring, from)) throw std::bad_alloc();
}

// The ids of `allowed` that are stored.
Bitmap allowed_stored(const Slices& s, const roaring_bitmap_t* allowed) {
  Bitmap q;
  copy_into(q, allowed);
  roaring_bitmap_and_inplace(&q.roaring, s.stored);
  return q;
}

// Q (stored ids only) narrowed to the ids with bit `bit` at slice i: within the stored ids, the other side of a
// slice is the complement of its kept side.
void keep_side(const Slices& s, unsigned i, bool bit, Bitmap& q) {
  if (bit == s.kept_bits[i]) {
    roaring_bitmap_and_inplace(&q.roaring, s.kept[i]);
  } else {
    roaring_bitmap_andnot_inplace(&q.roaring, s.kept[i]);
  }
}

// ORs into `out` the ids of Q (stored ids only) whose key is above (Greater) or below (!Greater) the
// key (m, e), and those equal to it when `include_equal`. Q is consumed.
void ordered_walk(const Slices& s, Bitmap& q, bool greater, bool include_equal, uint64_t m, uint16_t e,
                  roaring_bitmap_t* out) {
  const OrderedKey key{m, e};
  Bitmap other;
  for (unsigned i = KEY_BITS; i-- > 0 && !q.isEmpty();) {
    const bool bit = key.bit(i);
    copy_into(other, &q.roaring);
    keep_side(s, i, !bit, other);
    if (other.isEmpty()) continue;  // all of Q have the key's bit
    // The ids leaving Q here differ from the key first at this bit: above it where the key has a 0.
    if (greater != bit) roaring_bitmap_or_inplace(out, &other.roaring);
    roaring_bitmap_andnot_inplace(&q.roaring, &other.roaring);
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
  // Equality is the AND of the key sides, in any order: the kept key sides first, smallest first, so Q shrinks
  // soonest; then the other sides, as the stored ids less the kept ones.
  const Slices s(nb);
  const OrderedKey key{m, e};
  std::array<unsigned, KEY_BITS> order;
  std::array<uint64_t, KEY_BITS> sizes;
  unsigned kept_sides = 0;
  for (unsigned i = 0; i < KEY_BITS; ++i) {
    if (key.bit(i) != s.kept_bits[i]) continue;
    sizes[i] = roaring_bitmap_get_cardinality(s.kept[i]);
    if (sizes[i] == 0) return;  // no stored key has the key's bit here
    order[kept_sides++] = i;
  }
  std::sort(order.begin(), order.begin() + kept_sides,
            [&sizes](unsigned a, unsigned b) { return sizes[a] < sizes[b]; });
  Bitmap q;
  copy_into(q, kept_sides > 0 ? s.kept[order[0]] : s.stored);
  if (allowed != nullptr) roaring_bitmap_and_inplace(&q.roaring, &allowed->roaring);
  for (unsigned k = 1; k < kept_sides && !q.isEmpty(); ++k) roaring_bitmap_and_inplace(&q.roaring, s.kept[order[k]]);
  for (unsigned i = 0; i < KEY_BITS && !q.isEmpty(); ++i) {
    if (key.bit(i) != s.kept_bits[i]) roaring_bitmap_andnot_inplace(&q.roaring, s.kept[i]);
  }
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
