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
    zeros[i] = &nb.slices[i].zeros.roaring;
    ones[i] = &nb.slices[i].ones.roaring;
  }
}

void throw_out_of_memory() { throw std::bad_alloc(); }

}  // namespace scan_support

void NumericalBitmap::insert(OrderedKey key, uint32_t id) {
  for (unsigned i = 0; i < KEY_BITS; ++i) {
    SlicePair& pair = slices[i];
    roaring_bitmap_add(&(key.bit(i) ? pair.ones : pair.zeros).roaring, id);
  }
}

void NumericalBitmap::remove(OrderedKey key, uint32_t id) {
  for (unsigned i = 0; i < KEY_BITS; ++i) {
    SlicePair& pair = slices[i];
    roaring_bitmap_remove(&(key.bit(i) ? pair.ones : pair.zeros).roaring, id);
  }
}

void NumericalBitmap::move(OrderedKey from, OrderedKey to, uint32_t id) {
  // Only the differing bits: a small change of a number flips a few low mantissa bits.
  auto flip = [&](unsigned i, bool now_one) {
    SlicePair& pair = slices[i];
    roaring_bitmap_remove(&(now_one ? pair.zeros : pair.ones).roaring, id);
    roaring_bitmap_add(&(now_one ? pair.ones : pair.zeros).roaring, id);
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

void NumericalBitmap::add_many(unsigned bit, bool one, const uint32_t* ids, size_t count) {
  SlicePair& pair = slices.at(bit);
  add_ids(&(one ? pair.ones : pair.zeros).roaring, ids, count);
}

Bitmap NumericalBitmap::equal(OrderedKey key) const {
  Bitmap result;
  kernels().eq(*this, key.m, key.e, result, nullptr);
  return result;
}

bool NumericalBitmap::is_empty() const {
  const SlicePair& first = slices[0];
  return first.zeros.isEmpty() && first.ones.isEmpty();
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
