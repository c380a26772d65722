// and_many word kernels, AVX-512 + popcnt build.
#include "index/core/structures/bitmap_ops/and_many_kernels.hpp"

namespace vostrel::and_many_detail {

WordKernels word_kernels_avx512() { return {and_count_words, count_words, decode_words}; }

}  // namespace vostrel::and_many_detail
