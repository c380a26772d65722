// NumericalBitmap: writes, equality, the scratch bitmap and the choice of kernel build.
#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"

#include <roaring/roaring.h>

#include <bit>
#include <new>

#include "index/core/structures/bitmap_ops/add_ids.hpp"

namespace vostrel {

namespace {

// Scratch bitmap the kernels borrow for the pieces of an answer before merging
// them into a non-empty output; per thread, so concurrent readers never share it.
thread_local Bitmap TMP_BITMAP;

struct KernelSet {
  CompareKernel gt;
  CompareKernel gte;
  CompareKernel lt;
  CompareKernel lte;
  EqualKernel eq;
  RangeKernel between;
  const char* isa;
};

// The widest build whose instruction sets the processor (and the OS) supports;
// a build may use every set its file was compiled with, so each one is checked.
// Without the chunk kernels (VOSTREL_CONTAINER_KERNELS is 0) the portable build is the only one.
KernelSet detect_kernels() {
#if !VOSTREL_CONTAINER_KERNELS
  return {get_gt_into_portable, get_gte_into_portable, get_lt_into_portable, get_lte_into_portable,
          get_eq_into_portable, get_between_into_portable, "portable"};
#else
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                    __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
  if (avx512) {
    return {get_gt_into_avx512, get_gte_into_avx512, get_lt_into_avx512, get_lte_into_avx512,
            get_eq_into_avx512, get_between_into_avx512, "avx512"};
  }
  if (avx2) {
    return {get_gt_into_avx2, get_gte_into_avx2, get_lt_into_avx2, get_lte_into_avx2,
            get_eq_into_avx2, get_between_into_avx2, "avx2"};
  }
  return {get_gt_into_sse2, get_gte_into_sse2, get_lt_into_sse2, get_lte_into_sse2,
          get_eq_into_sse2, get_between_into_sse2, "sse2"};
#endif
}

// Chosen on first use; the static's initialisation is thread-safe and runs once.
const KernelSet& kernels() {
  static const KernelSet selected = detect_kernels();
  return selected;
}

}  // namespace

// Helpers the kernel builds share (declared in ordered_bitmap_kernels.hpp and ordered_scan_chunk.hpp);
// kept here so that only plain code touches thread-locals and exceptions.
namespace scan_support {

roaring_bitmap_t* borrow_tmp_bitmap() {
  // A kernel interrupted by an allocation failure may have left pieces behind.
  if (!TMP_BITMAP.isEmpty()) roaring_bitmap_clear(&TMP_BITMAP.roaring);
  return &TMP_BITMAP.roaring;
}

void slice_bitmaps(const NumericalBitmap& nb, const roaring_bitmap_t** kept, bool* kept_bits,
                   const roaring_bitmap_t** stored) {
  for (unsigned i = 0; i < NumericalBitmap::KEY_BITS; ++i) {
    kept[i] = &nb.kept(i).roaring;
    kept_bits[i] = nb.kept_bit(i);
  }
  *stored = &nb.stored().roaring;
}

void throw_out_of_memory() { throw std::bad_alloc(); }

}  // namespace scan_support

void NumericalBitmap::set_kept_bit(unsigned bit, bool one) {
  if (bit < 64) {
    const uint64_t mask = uint64_t{1} << bit;
    kept_bit_.m = one ? kept_bit_.m | mask : kept_bit_.m & ~mask;
  } else {
    const auto mask = static_cast<uint16_t>(1u << (bit - 64));
    kept_bit_.e = static_cast<uint16_t>(one ? kept_bit_.e | mask : kept_bit_.e & ~mask);
  }
}

void NumericalBitmap::add_to(Bitmap& into, std::span<const uint32_t> ids) {
  add_ids(&into.roaring, ids.data(), ids.size());
}

void NumericalBitmap::clear() {
  stored_ = Bitmap();
  stored_count_ = 0;
  for (Bitmap& slice : slices_) slice = Bitmap();
  kept_count_.fill(0);
}

void NumericalBitmap::balance(unsigned bit) {
  const uint64_t kept = kept_count_[bit];
  if (64 * kept <= stored_count_ || 16 * kept >= 7 * stored_count_) return;
  slices_[bit] = stored_ - slices_[bit];
  kept_count_[bit] = static_cast<uint32_t>(stored_count_ - kept);
  set_kept_bit(bit, !kept_bit(bit));
}

void NumericalBitmap::balance_all() {
  for (unsigned bit = 0; bit < KEY_BITS; ++bit) balance(bit);
}

Bitmap NumericalBitmap::side(unsigned bit, bool one) const {
  if (one == kept_bit(bit)) return slices_[bit];
  return stored_ - slices_[bit];
}

void NumericalBitmap::insert(OrderedKey key, uint32_t id) {
  // The first key makes every slice uniform: each keeps the side that key is not on.
  if (stored_.isEmpty()) kept_bit_ = OrderedKey{~key.m, static_cast<uint16_t>(~key.e & 0xfff)};
  if (!add_rising_checked(stored_, id)) return;  // already stored (under this key, by the caller's contract)
  ++stored_count_;
  for (unsigned bit = 0; bit < KEY_BITS; ++bit) {
    if (key.bit(bit) == kept_bit(bit) && add_rising_checked(slices_[bit], id)) ++kept_count_[bit];
  }
  balance_all();
}

void NumericalBitmap::remove(OrderedKey key, uint32_t id) {
  if (stored_.removeChecked(id)) --stored_count_;
  if (stored_count_ == 0) {
    clear();
    return;
  }
  // Also when `id` was not stored: a batch cut short by a failure may have reached some slices only, and the bulk
  // writer takes such ids out again this way.
  for (unsigned bit = 0; bit < KEY_BITS; ++bit) {
    if (key.bit(bit) == kept_bit(bit) && roaring_bitmap_remove_checked(&slices_[bit].roaring, id)) {
      --kept_count_[bit];
    }
  }
  balance_all();
}

void NumericalBitmap::move(OrderedKey from, OrderedKey to, uint32_t id) {
  // Only the differing bits: a small change of a number flips a few low mantissa bits.
  auto flip = [&](unsigned bit, bool now_one) {
    if (now_one == kept_bit(bit)) {
      if (add_rising_checked(slices_[bit], id)) ++kept_count_[bit];
    } else if (roaring_bitmap_remove_checked(&slices_[bit].roaring, id)) {
      --kept_count_[bit];
    }
    balance(bit);
  };
  for (uint64_t diff = from.m ^ to.m; diff != 0; diff &= diff - 1) {
    unsigned i = static_cast<unsigned>(std::countr_zero(diff));
    flip(i, ((to.m >> i) & 1) != 0);
  }
  for (unsigned diff = static_cast<unsigned>(from.e ^ to.e) & 0xfffu; diff != 0; diff &= diff - 1) {
    unsigned i = static_cast<unsigned>(std::countr_zero(diff));
    flip(64 + i, ((to.e >> i) & 1) != 0);
  }
}

void NumericalBitmap::add_agreeing(unsigned bit, bool one, const Bitmap& ids) {
  if (stored_.isEmpty()) {
    set_kept_bit(bit, !one);  // the batch alone is stored: the slice stays uniform
    return;
  }
  if (one != kept_bit(bit)) return;
  slices_[bit] |= ids;
  kept_count_[bit] = static_cast<uint32_t>(slices_[bit].cardinality());
}

void NumericalBitmap::merge_from(const NumericalBitmap& other, const Bitmap* only) {
  Bitmap incoming = other.stored_;
  if (only != nullptr) incoming &= *only;
  if (incoming.isEmpty()) return;
  const uint64_t total = incoming.cardinality();
  for (unsigned bit = 0; bit < KEY_BITS; ++bit) {
    const bool theirs = other.kept_bit(bit);
    Bitmap kept = other.slices_[bit];
    if (only != nullptr) kept &= *only;
    const uint64_t count = kept.cardinality();
    if (count == 0 || count == total) {
      add_agreeing(bit, count == 0 ? !theirs : theirs, incoming);
      continue;
    }
    const Bitmap rest = incoming - kept;
    if (theirs) {
      add_differing(bit, rest, kept);
    } else {
      add_differing(bit, kept, rest);
    }
  }
  stored_ |= incoming;
  stored_count_ = stored_.cardinality();
  balance_all();
}

void NumericalBitmap::keep_only(const Bitmap& kept) {
  stored_ &= kept;
  stored_count_ = stored_.cardinality();
  if (stored_count_ == 0) {
    clear();
    return;
  }
  for (unsigned bit = 0; bit < KEY_BITS; ++bit) {
    Bitmap& slice = slices_[bit];
    if (slice.isEmpty()) continue;
    slice &= kept;
    kept_count_[bit] = static_cast<uint32_t>(slice.cardinality());
    balance(bit);
  }
}

void NumericalBitmap::run_optimize() {
  stored_.runOptimize();
  for (Bitmap& slice : slices_) slice.runOptimize();
}

Bitmap NumericalBitmap::equal(OrderedKey key) const {
  Bitmap result;
  kernels().eq(*this, key.m, key.e, result, nullptr);
  return result;
}

void get_gt_into(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  kernels().gt(nb, m, e, out, allowed);
}
void get_gte_into(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  kernels().gte(nb, m, e, out, allowed);
}
void get_lt_into(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  kernels().lt(nb, m, e, out, allowed);
}
void get_lte_into(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  kernels().lte(nb, m, e, out, allowed);
}
void get_eq_into(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap* allowed) {
  kernels().eq(nb, m, e, out, allowed);
}
void get_between_into(const NumericalBitmap& nb, OrderedKey low, OrderedKey high, Bitmap& out, const Bitmap& allowed) {
  kernels().between(nb, low, high, out, allowed);
}

CompareKernel GET_GT_FN() { return kernels().gt; }
CompareKernel GET_GTE_FN() { return kernels().gte; }
CompareKernel GET_LT_FN() { return kernels().lt; }
CompareKernel GET_LTE_FN() { return kernels().lte; }
EqualKernel GET_EQ_FN() { return kernels().eq; }
RangeKernel GET_BETWEEN_FN() { return kernels().between; }

const char* selected_kernel_isa() { return kernels().isa; }

}  // namespace vostrel
