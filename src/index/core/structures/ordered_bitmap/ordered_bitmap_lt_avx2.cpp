// Less-than family kernels (lt, lte) built for AVX2.
#include "index/core/structures/ordered_bitmap/ordered_bitmap_kernels.hpp"

namespace vostrel {

void get_lt_into_avx2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  ordered_scan(nb, ScanKind::Less, m, e, &out.roaring, &allowed.roaring);
}

void get_lte_into_avx2(const NumericalBitmap& nb, uint64_t m, uint16_t e, Bitmap& out, const Bitmap& allowed) {
  ordered_scan(nb, ScanKind::LessEqual, m, e, &out.roaring, &allowed.roaring);
}

}  // namespace vostrel
