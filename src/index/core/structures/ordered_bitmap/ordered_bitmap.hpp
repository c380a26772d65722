// NumericalBitmap: a bit-sliced index of numeric keys answering equality and range queries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/ordered_bitmap/ordered_key.hpp"

namespace vostrel {

// The ids whose key has a 0 (zeros) and a 1 (ones) at one key bit.
struct SlicePair {
  Bitmap zeros;
  Bitmap ones;
};

// One pair per key bit; every stored id sits in exactly one side of every pair.
//
// A slice every stored key agrees on (the high bits of small integers, the sign of positive numbers, the exponent
// of numbers of one magnitude) keeps no bitmap of its own: its agreeing side is `stored()` and its other side is
// empty. Numbers of a narrow range so pay for the few slices where their keys differ, not for 76. A slice gets its
// two bitmaps when a key first disagrees there (a copy of the stored ids) and keeps them until a prune leaves one
// side empty or the structure empties: single writes never turn a slice back, so a value flipping back and forth
// copies nothing.
//
// The structure holds only its bitmaps: a bulk writer keeps its own buffers for the length of a batch and hands
// them over with add_batch.
class NumericalBitmap {
 public:
  static constexpr unsigned KEY_BITS = OrderedKey::BITS;

  // Stores `id` under `key`: one add per slice where stored keys differ.
  void insert(OrderedKey key, uint32_t id);
  // Removes `id` stored under `key`.
  void remove(OrderedKey key, uint32_t id);
  // Moves `id` stored under `from` to `to`, touching only the slices whose key bit
  // differs (none when the keys are equal). Same result as remove(from) + insert(to).
  void move(OrderedKey from, OrderedKey to, uint32_t id);
  // Stores a batch of ids none of which is stored yet: `ids` all of them, `every` / `some` the AND / OR of their
  // keys, and `split(bit)` returns two spans (the caller's buffers) of the batch's ids, in any order, whose key has
  // a 0 / a 1 at a bit where their keys differ (called only for such bits).
  template <class Split>
  void add_batch(const Bitmap& ids, OrderedKey every, OrderedKey some, Split&& split);
  // Stores what `other` stores for the ids of `only` (all of them when null), none of which is stored here yet.
  void merge_from(const NumericalBitmap& other, const Bitmap* only);
  // Keeps only the ids `kept` holds.
  void keep_only(const Bitmap& kept);
  // Compresses runs of ids in every bitmap.
  void run_optimize();

  // Every stored id.
  const Bitmap& stored() const { return stored_; }
  // The stored ids with a 0 / a 1 at key bit `bit`.
  const Bitmap& zeros(unsigned bit) const { return side(bit, false); }
  const Bitmap& ones(unsigned bit) const { return side(bit, true); }
  // Whether the slice keeps no bitmap (every stored key has the same bit there; a slice with bitmaps may also
  // have one side empty).
  bool is_uniform(unsigned bit) const { return uniform_.bit(bit); }
  // The ids whose key equals `key`.
  Bitmap equal(OrderedKey key) const;
  // True when no id is stored.
  bool is_empty() const { return stored_.isEmpty(); }

 private:
  const Bitmap& side(unsigned bit, bool one) const;
  Bitmap& own_side(unsigned bit, bool one) { return one ? slices_[bit].ones : slices_[bit].zeros; }
  // A uniform slice gets its two bitmaps: the agreeing side a copy of the stored ids, the other empty.
  void split_slice(unsigned bit);
  // A split slice with an empty side gives up both bitmaps and becomes uniform.
  void settle(unsigned bit);
  // Back to the empty structure: no ids, every slice uniform.
  void clear();
  // Batch steps, taken before the batch joins `stored_`: its ids all have bit `one` at `bit` / differ there.
  void add_agreeing(unsigned bit, bool one, const Bitmap& ids);
  void add_differing(unsigned bit, std::span<const uint32_t> zeros, std::span<const uint32_t> ones);
  void add_differing(unsigned bit, const Bitmap& zeros, const Bitmap& ones);

  Bitmap stored_;
  std::array<SlicePair, KEY_BITS> slices_;  // both empty where the slice is uniform
  // Key-shaped bit masks: the slices that are uniform, and the bit every stored key has in each of them (any bit
  // while nothing is stored; every slice is uniform then).
  OrderedKey uniform_{~uint64_t{0}, 0xfff};
  OrderedKey agreed_{};
};

template <class Split>
void NumericalBitmap::add_batch(const Bitmap& ids, OrderedKey every, OrderedKey some, Split&& split) {
  if (ids.isEmpty()) return;
  for (unsigned bit = 0; bit < KEY_BITS; ++bit) {
    const bool all_one = every.bit(bit);
    if (all_one || !some.bit(bit)) {
      add_agreeing(bit, all_one, ids);
      continue;
    }
    const auto [zeros, ones] = split(bit);
    add_differing(bit, zeros, ones);
  }
  stored_ |= ids;
}

// Kernels: the ids of `allowed` whose key is >, >=, <, <= the key (m, e), ORed into `out`.
// `out` may be `allowed` itself. On allocation failure std::bad_alloc is thrown
// and `out` may hold part of the answer.
using CompareKernel = void (*)(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out,
                               const Bitmap& allowed);
// Equality kernel: the ids whose key equals (m, e), restricted to `*allowed`
// unless it is null, ORed into `out`.
using EqualKernel = void (*)(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out,
                             const Bitmap* allowed);

// Range kernel: the ids of `allowed` whose key k has low <= k <= high, ORed into
// `out`; one pass that never builds the whole at-least set. Nothing when low > high.
using RangeKernel = void (*)(const NumericalBitmap& nb, OrderedKey low, OrderedKey high, Bitmap& out,
                             const Bitmap& allowed);

// The build chosen for this processor.
void get_gt_into(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_gte_into(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_lt_into(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_lte_into(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_eq_into(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap* allowed);
void get_between_into(const NumericalBitmap& nb, OrderedKey low, OrderedKey high, Bitmap& out, const Bitmap& allowed);

// Each chunk-kernel build by name (defined only where VOSTREL_CONTAINER_KERNELS is 1); callers must only
// run a build the processor supports.
void get_gt_into_sse2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_gt_into_avx2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_gt_into_avx512(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_gte_into_sse2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_gte_into_avx2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_gte_into_avx512(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_lt_into_sse2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_lt_into_avx2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_lt_into_avx512(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_lte_into_sse2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_lte_into_avx2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_lte_into_avx512(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_eq_into_sse2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap* allowed);
void get_eq_into_avx2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap* allowed);
void get_eq_into_avx512(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap* allowed);
void get_between_into_sse2(const NumericalBitmap& nb, OrderedKey low, OrderedKey high, Bitmap& out,
                           const Bitmap& allowed);
void get_between_into_avx2(const NumericalBitmap& nb, OrderedKey low, OrderedKey high, Bitmap& out,
                           const Bitmap& allowed);
void get_between_into_avx512(const NumericalBitmap& nb, OrderedKey low, OrderedKey high, Bitmap& out,
                             const Bitmap& allowed);
// The same comparisons as whole-bitmap set algebra on CRoaring's public API: the only build where
// the chunk kernels are not built (VOSTREL_CONTAINER_KERNELS is 0), and built beside them otherwise.
void get_gt_into_portable(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_gte_into_portable(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_lt_into_portable(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_lte_into_portable(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed);
void get_eq_into_portable(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap* allowed);
void get_between_into_portable(const NumericalBitmap& nb, OrderedKey low, OrderedKey high, Bitmap& out,
                               const Bitmap& allowed);

// The selected build of each comparison, chosen once (thread-safe) from the processor's features.
CompareKernel GET_GT_FN();
CompareKernel GET_GTE_FN();
CompareKernel GET_LT_FN();
CompareKernel GET_LTE_FN();
EqualKernel GET_EQ_FN();
RangeKernel GET_BETWEEN_FN();

// "avx512", "avx2", "sse2" or "portable": the build the selection chose.
const char* selected_kernel_isa();

}  // namespace vostrel
