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

// Helpers the kernel builds share (declared in ordered_bitmap_kernels.hpp);
// kept here so that only plain code touches thread-locals and exceptions.
namespace scan_support {

roaring_bitmap_t* borrow_tmp_bitmap() {
  // A kernel interrupted by an allocation failure may have left pieces behind.
  if (!TMP_BITMAP.isEmpty()) roaring_bitmap_clear(&TMP_BITMAP.roaring);
  return &TMP_BITMAP.roaring;
}

void slice_bitmaps(const NumericalBitmap& nb, const roaring_bitmap_t** zeros, const roaring_bitmap_t** ones) {
  for (unsigned i = 0; i < NumericalBitmap::KEY_BITS; ++i) {
    zeros[i] = &nb.zeros(i).roaring;
    ones[i] = &nb.ones(i).roaring;
  }
}

void throw_out_of_memory() { throw std::bad_alloc(); }

}  // namespace scan_support

namespace {

void set_key_bit(OrderedKey& key, unsigned bit, bool one) {
  if (bit < 64) {
    const uint64_t mask = uint64_t{1} << bit;
    key.m = one ? key.m | mask : key.m & ~mask;
  } else {
    const auto mask = static_cast<uint16_t>(1u << (bit - 64));
    key.e = static_cast<uint16_t>(one ? key.e | mask : key.e & ~mask);
  }
}

const Bitmap& empty_bitmap() {
  static const Bitmap empty;
  return empty;
}

}  // namespace

const Bitmap& NumericalBitmap::side(unsigned bit, bool one) const {
  if (!uniform_.bit(bit)) return one ? slices_[bit].ones : slices_[bit].zeros;
  return agreed_.bit(bit) == one ? stored_ : empty_bitmap();
}

void NumericalBitmap::split_slice(unsigned bit) {
  own_side(bit, agreed_.bit(bit)) = stored_;
  set_key_bit(uniform_, bit, false);
}

void NumericalBitmap::settle(unsigned bit) {
  SlicePair& pair = slices_[bit];
  const bool zeros_empty = pair.zeros.isEmpty();
  if (!zeros_empty && !pair.ones.isEmpty()) return;
  // The other side now holds every stored id: stored_ says the same.
  pair = SlicePair();
  set_key_bit(uniform_, bit, true);
  set_key_bit(agreed_, bit, zeros_empty);
}

void NumericalBitmap::insert(OrderedKey key, uint32_t id) {
  if (stored_.isEmpty()) {
    agreed_ = key;  // every slice is uniform while nothing is stored
  } else {
    for (unsigned bit = 0; bit < KEY_BITS; ++bit) {
      const bool one = key.bit(bit);
      if (uniform_.bit(bit)) {
        if (agreed_.bit(bit) == one) continue;
        split_slice(bit);  // before `id` joins the stored ids: it goes to the other side
      }
      roaring_bitmap_add(&own_side(bit, one).roaring, id);
    }
  }
  stored_.add(id);
}

void NumericalBitmap::remove(OrderedKey key, uint32_t id) {
  stored_.remove(id);
  if (stored_.isEmpty()) {
    clear();
    return;
  }
  // A side this empties stays (as it did before this structure had uniform slices): were the slice made uniform
  // again, a value flipping back and forth would copy the stored ids on every write.
  for (unsigned bit = 0; bit < KEY_BITS; ++bit) {
    if (!uniform_.bit(bit)) roaring_bitmap_remove(&own_side(bit, key.bit(bit)).roaring, id);
  }
}

void NumericalBitmap::clear() {
  stored_ = Bitmap();
  for (SlicePair& pair : slices_) pair = SlicePair();
  uniform_ = OrderedKey{~uint64_t{0}, 0xfff};
}

void NumericalBitmap::move(OrderedKey from, OrderedKey to, uint32_t id) {
  // Only the differing bits: a small change of a number flips a few low mantissa bits.
  auto flip = [&](unsigned bit, bool now_one) {
    if (uniform_.bit(bit)) split_slice(bit);
    roaring_bitmap_remove(&own_side(bit, !now_one).roaring, id);
    roaring_bitmap_add(&own_side(bit, now_one).roaring, id);
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
  if (uniform_.bit(bit)) {
    if (stored_.isEmpty()) {
      set_key_bit(agreed_, bit, one);
      return;
    }
    if (agreed_.bit(bit) == one) return;
    split_slice(bit);
  }
  own_side(bit, one) |= ids;
}

void NumericalBitmap::add_differing(unsigned bit, std::span<const uint32_t> zeros, std::span<const uint32_t> ones) {
  if (uniform_.bit(bit)) split_slice(bit);
  add_ids(&slices_[bit].zeros.roaring, zeros.data(), zeros.size());
  add_ids(&slices_[bit].ones.roaring, ones.data(), ones.size());
}

void NumericalBitmap::add_differing(unsigned bit, const Bitmap& zeros, const Bitmap& ones) {
  if (uniform_.bit(bit)) split_slice(bit);
  slices_[bit].zeros |= zeros;
  slices_[bit].ones |= ones;
}

void NumericalBitmap::merge_from(const NumericalBitmap& other, const Bitmap* only) {
  Bitmap incoming = other.stored_;
  if (only != nullptr) incoming &= *only;
  if (incoming.isEmpty()) return;
  for (unsigned bit = 0; bit < KEY_BITS; ++bit) {
    if (other.is_uniform(bit)) {
      add_agreeing(bit, other.agreed_.bit(bit), incoming);
      continue;
    }
    Bitmap zeros = other.slices_[bit].zeros;
    Bitmap ones = other.slices_[bit].ones;
    if (only != nullptr) {
      zeros &= *only;
      ones &= *only;
    }
    if (zeros.isEmpty() || ones.isEmpty()) {
      add_agreeing(bit, zeros.isEmpty(), incoming);
    } else {
      add_differing(bit, zeros, ones);
    }
  }
  stored_ |= incoming;
}

void NumericalBitmap::keep_only(const Bitmap& kept) {
  stored_ &= kept;
  if (stored_.isEmpty()) {
    clear();
    return;
  }
  // A prune costs a pass over every slice anyway: slices it leaves with an empty side give up their bitmaps.
  for (unsigned bit = 0; bit < KEY_BITS; ++bit) {
    if (uniform_.bit(bit)) continue;
    slices_[bit].zeros &= kept;
    slices_[bit].ones &= kept;
    settle(bit);
  }
}

void NumericalBitmap::run_optimize() {
  stored_.runOptimize();
  for (SlicePair& pair : slices_) {
    pair.zeros.runOptimize();
    pair.ones.runOptimize();
  }
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
