// NumericalBitmap: a bit-sliced index of numeric keys answering equality and range queries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/bitmap_ops/add_ids.hpp"
#include "index/core/structures/ordered_bitmap/ordered_key.hpp"

namespace vostrel {

// Every stored id has a 0 or a 1 at each of the 76 key bits. Per key bit (a slice) the structure keeps one side
// only: the ids of the other side are the stored ids less those. A slice every stored key agrees on (the high bits
// of small integers, the sign of positive numbers, the exponent of numbers of one magnitude) keeps no ids at all.
//
// Which side a slice keeps: the larger one, unless the smaller holds under 1/64 of the stored ids. The larger
// side's containers are bitsets wherever either side's are (a chunk of a small side may be an array, which the
// comparison kernels read id by id, dozens of times slower than a bitset's words); the few ids of a nearly uniform
// slice cost little to read. A slice turns to its other side (a pass over the stored ids) only once its kept side
// holds between 1/64 and 7/16 of them, so between two turns the stored ids change by a share of their number:
// single writes cost no more than before, on average.
//
// The structure holds only its bitmaps: a bulk writer keeps its own buffers for the length of a batch and hands
// them over with add_batch.
class NumericalBitmap {
 public:
  static constexpr unsigned KEY_BITS = OrderedKey::BITS;

  // Stores `id` under `key`: one add per slice whose kept side the key is on.
  void insert(OrderedKey key, uint32_t id);
  // Removes `id` stored under `key`.
  void remove(OrderedKey key, uint32_t id);
  // Moves `id` stored under `from` to `to`, touching only the slices whose key bit
  // differs (none when the keys are equal). Same sets as remove(from) + insert(to).
  void move(OrderedKey from, OrderedKey to, uint32_t id);
  // Stores a batch of ids none of which is stored yet: `ids` all of them, `every` / `some` the AND / OR of their
  // keys, and `split(bit)` returns two spans (the caller's buffers) of the batch's ids, in any order, whose key has
  // a 0 / a 1 at a bit where their keys differ (called only for such bits).
  template <class Split>
  void add_batch(const Bitmap& ids, OrderedKey every, OrderedKey some, Split&& split);
  // add_batch for `count` entries in ascending id order, none stored yet: `key_at(i)` / `id_at(i)` give entry i,
  // and `zeros` / `ones` are the caller's buffers for the splits (kept across batches for their room).
  template <class KeyAt, class IdAt>
  void add_rising(size_t count, KeyAt&& key_at, IdAt&& id_at, std::vector<uint32_t>& zeros,
                  std::vector<uint32_t>& ones);
  // Stores what `other` stores for the ids of `only` (all of them when null), none of which is stored here yet.
  void merge_from(const NumericalBitmap& other, const Bitmap* only);
  // Keeps only the ids `kept` holds.
  void keep_only(const Bitmap& kept);
  // Compresses runs of ids in every bitmap.
  void run_optimize();

  // Every stored id.
  const Bitmap& stored() const { return stored_; }
  // The ids a slice keeps: exactly the stored ids whose key has kept_bit(bit) there (none for a uniform slice).
  const Bitmap& kept(unsigned bit) const { return slices_[bit]; }
  bool kept_bit(unsigned bit) const { return kept_bit_.bit(bit); }
  // The stored ids with bit `one` at key bit `bit` (a new bitmap: for tests and reference scans).
  Bitmap side(unsigned bit, bool one) const;
  // Whether the slice keeps no ids (every stored key has the same bit there).
  bool is_uniform(unsigned bit) const { return slices_[bit].isEmpty(); }
  // The ids whose key equals `key`.
  Bitmap equal(OrderedKey key) const;
  // True when no id is stored.
  bool is_empty() const { return stored_.isEmpty(); }

 private:
  void set_kept_bit(unsigned bit, bool one);
  // Turns slice `bit` to its other side when the kept side holds between 1/64 and 7/16 of the stored ids.
  void balance(unsigned bit);
  void balance_all();
  // Batch steps, taken before the batch joins `stored_`: its ids all have bit `one` at `bit` / `zeros` and `ones`
  // of them have a 0 / a 1 there.
  void add_agreeing(unsigned bit, bool one, const Bitmap& ids);
  template <class Ids>
  void add_differing(unsigned bit, const Ids& zeros, const Ids& ones);
  static void add_to(Bitmap& into, const Bitmap& ids) { into |= ids; }
  static void add_to(Bitmap& into, std::span<const uint32_t> ids);
  static uint64_t count_of(const Bitmap& ids) { return ids.cardinality(); }
  static uint64_t count_of(std::span<const uint32_t> ids) { return ids.size(); }
  // Back to the empty structure.
  void clear();

  Bitmap stored_;
  uint64_t stored_count_ = 0;
  std::array<Bitmap, KEY_BITS> slices_;  // the kept side of each slice
  std::array<uint32_t, KEY_BITS> kept_count_{};  // ids in each kept side
  // Key-shaped: per slice, the bit of the kept side's keys. A uniform slice keeps an empty side whose bit no
  // stored key has, so it reads as any other slice: the ids with that bit are the kept ones, the rest the others.
  OrderedKey kept_bit_{};
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
  stored_count_ = stored_.cardinality();
  balance_all();
}

template <class KeyAt, class IdAt>
void NumericalBitmap::add_rising(size_t count, KeyAt&& key_at, IdAt&& id_at, std::vector<uint32_t>& zeros,
                                 std::vector<uint32_t>& ones) {
  // Key bits shared by every number (most high bits of small integers, the sign of positive numbers) send the whole
  // batch to one side: one bitmap of all the ids is ORed in, with no pass over the entries.
  OrderedKey every{~uint64_t{0}, 0xffff};
  OrderedKey some{0, 0};
  zeros.resize(count);
  ones.resize(count);
  for (size_t at = 0; at < count; ++at) {
    const OrderedKey key = key_at(at);
    every.m &= key.m;
    some.m |= key.m;
    every.e &= key.e;
    some.e |= key.e;
    zeros[at] = id_at(at);
  }
  Bitmap all;
  add_ids(&all.roaring, zeros.data(), count);
  add_batch(all, every, some, [&](unsigned bit) {
    // A mixed bit: a branch-free split (half the keys go each way, so a branch would miss half the time).
    size_t one_count = 0;
    size_t zero_count = 0;
    for (size_t at = 0; at < count; ++at) {
      const bool one = key_at(at).bit(bit);
      const uint32_t id = id_at(at);
      ones[one_count] = id;
      zeros[zero_count] = id;
      one_count += one;
      zero_count += !one;
    }
    return std::pair(std::span<const uint32_t>(zeros.data(), zero_count),
                     std::span<const uint32_t>(ones.data(), one_count));
  });
}

template <class Ids>
void NumericalBitmap::add_differing(unsigned bit, const Ids& zeros, const Ids& ones) {
  // With nothing stored yet, the batch's larger side is kept (balance() then decides); otherwise the slice's own.
  if (stored_.isEmpty()) set_kept_bit(bit, count_of(ones) >= count_of(zeros));
  add_to(slices_[bit], kept_bit(bit) ? ones : zeros);
  kept_count_[bit] = static_cast<uint32_t>(slices_[bit].cardinality());
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
