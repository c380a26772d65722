// NumericalBitmap: a bit-sliced index of numeric keys answering equality and range queries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/ordered_bitmap/ordered_key.hpp"

namespace vostrel {

// The ids whose key has a 0 (zeros) and a 1 (ones) at one key bit.
struct SlicePair {
  Bitmap zeros;
  Bitmap ones;
};

// One pair per key bit; every stored id sits in exactly one bitmap of every pair.
// The structure holds only its bitmaps: a bulk writer keeps its own buffers for
// the length of a batch and hands each slice its ids with add_many.
class NumericalBitmap {
 public:
  static constexpr unsigned KEY_BITS = OrderedKey::BITS;
  std::array<SlicePair, KEY_BITS> slices;

  // Stores `id` under `key`: one add per key bit.
  void insert(OrderedKey key, uint32_t id);
  // Removes `id` stored under `key` from the same 76 bitmaps.
  void remove(OrderedKey key, uint32_t id);
  // Moves `id` stored under `from` to `to`, touching only the slices whose key bit
  // differs (none when the keys are equal). Same result as remove(from) + insert(to).
  void move(OrderedKey from, OrderedKey to, uint32_t id);
  // Adds `count` ids to one slice bitmap (key bit `bit`, the ones side when `one`);
  // the bulk writer's flush. `ids` need not be sorted.
  void add_many(unsigned bit, bool one, const uint32_t* ids, size_t count);
  // The ids whose key equals `key`.
  Bitmap equal(OrderedKey key) const;
  // True when no id is stored.
  bool is_empty() const;
};

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
