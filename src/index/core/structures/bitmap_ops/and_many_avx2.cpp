// and_many word kernels, AVX2 + popcnt build.
#include "index/core/structures/bitmap_ops/and_many_kernels.hpp"

namespace vostrel::and_many_detail {

WordKernels word_kernels_avx2() { return {and_count_words, count_words, decode_words}; }

}  // namespace vostrel::and_many_detail
