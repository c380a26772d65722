// Greater-than family kernels (gt, gte, the at-least-and-at-most range, equality) built for AVX2.
#include "index/core/structures/ordered_bitmap/ordered_bitmap_kernels.hpp"

namespace vostrel {

void get_gt_into_avx2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  ordered_scan(nb, ScanKind::Greater, m, e, &out.roaring, &allowed.roaring);
}

void get_gte_into_avx2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  ordered_scan(nb, ScanKind::GreaterEqual, m, e, &out.roaring, &allowed.roaring);
}

void get_between_into_avx2(const NumericalBitmap& nb, OrderedKey low, OrderedKey high, Bitmap& out,
                             const Bitmap& allowed) {
  if (low.e > high.e || (low.e == high.e && low.m > high.m)) return;
  const ScanKind at_most = ScanKind::LessEqual;
  ordered_scan(nb, ScanKind::GreaterEqual, low.m, low.e, &out.roaring, &allowed.roaring, &at_most, high.m, high.e);
}

void get_eq_into_avx2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap* allowed) {
  ordered_scan(nb, ScanKind::Equal, m, e, &out.roaring, allowed != nullptr ? &allowed->roaring : nullptr);
}

}  // namespace vostrel
