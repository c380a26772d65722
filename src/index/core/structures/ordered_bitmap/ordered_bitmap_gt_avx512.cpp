// Greater-than family kernels (gt, gte and the equality scan) built for AVX-512.
#include "index/core/structures/ordered_bitmap/ordered_bitmap_kernels.hpp"

namespace vostrel {

void get_gt_into_avx512(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  ordered_scan<ScanKind::Greater>(nb, m, e, &out.roaring, &allowed.roaring);
}

void get_gte_into_avx512(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  ordered_scan<ScanKind::GreaterEqual>(nb, m, e, &out.roaring, &allowed.roaring);
}

void get_eq_into_avx512(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap* allowed) {
  ordered_scan<ScanKind::Equal>(nb, m, e, &out.roaring, allowed != nullptr ? &allowed->roaring : nullptr);
}

}  // namespace vostrel
