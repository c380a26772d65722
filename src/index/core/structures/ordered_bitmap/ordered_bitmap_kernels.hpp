// The bit-sliced range and equality scan, written once and compiled by every kernel build.
//
// Each kernel file includes this header and instantiates `ordered_scan`; the
// file's compile flags choose the vector width (the native vectors below are
// 16, 32 or 64 bytes wide), so all builds are one source.
// Everything here has internal linkage on purpose: if an inline function or a
// template instance were shared between builds, the linker would keep one copy
// for all of them and an AVX-512 copy could run on a processor without AVX-512.
// For the same reason this file calls no standard-library templates and reads
// CRoaring's containers through their plain C structs, never its inline helpers.
//
// How the scan relates to the slice-by-slice definition (Q = allowed; for each
// key bit from the top: report Q AND other-side when the comparison says so,
// then Q = Q AND key-side):
// - Every step is an element-wise set operation, so it runs one 65536-id chunk
//   (one CRoaring container) at a time, each chunk to its end.
// - Q is first cut to the stored ids. A slice keeps one side only, and within the
//   stored ids the other side is its complement, so a step reads the kept
//   container: Q AND kept, or Q AND NOT kept.
// - A slice whose kept side has no container in the chunk, or one holding every
//   stored id of the chunk, leaves Q unchanged when the key's bit is the one all
//   those ids have (the usual case for the top key bits), and empties Q otherwise.
// - A chunk stops as soon as Q is empty. A large Q lives in a 1024-word buffer.
//   While the slices have bitset containers, each vector-sized block of Q runs through
//   all of them in a register and stops on its own once it is empty, so the
//   slices are read only where Q still has ids. Later slices are applied one at
//   a time over the words Q still spans, and once Q holds a few ids they are
//   kept as a list and tested one by one.
// - Equality reports only what is left at the end, so its steps may run in any
//   order: the most selective slices (smallest key side) go first.
// - A range (low <= key <= high) walks both comparisons in the same block pass
//   where the chunk's slices allow it, reading each slice once; elsewhere it
//   runs the at-most comparison on the at-least answer within the chunk, so
//   the intermediate set never leaves the chunk's word buffer.
#pragma once

#include <immintrin.h>
#include <roaring/roaring.h>

#include <cstdint>
#include <cstring>

#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "index/core/structures/bitmap_ops/roaring_containers.hpp"

namespace vostrel {

namespace scan_support {
// Defined once, in the plain build (ordered_bitmap.cpp).
roaring_bitmap_t* borrow_tmp_bitmap();
// The kept side of every slice, the bit of each kept side, and the stored ids.
void slice_bitmaps(const NumericalBitmap& nb, const roaring_bitmap_t** kept, bool* kept_bits,
                   const roaring_bitmap_t** stored);
[[noreturn]] void throw_out_of_memory();
}  // namespace scan_support

namespace {

enum class ScanKind { Greater, GreaterEqual, Less, LessEqual, Equal };

constexpr unsigned SCAN_KEY_BITS = NumericalBitmap::KEY_BITS;
constexpr uint32_t CHUNK_WORDS = 1024;  // one container covers 65536 ids
constexpr uint32_t SPARSE_CAP = 64;     // up to this many ids, test them one by one
constexpr int32_t ARRAY_MAX = 4096;     // CRoaring keeps containers of up to 4096 ids as arrays

// The build's native vector: wider generic vectors would be split through memory.
#if defined(__AVX512F__)
constexpr uint32_t VEC_BYTES = 64;
#elif defined(__AVX2__)
constexpr uint32_t VEC_BYTES = 32;
#else
constexpr uint32_t VEC_BYTES = 16;
#endif
typedef uint64_t Vec __attribute__((vector_size(VEC_BYTES)));
constexpr uint32_t VEC_WORDS = VEC_BYTES / 8;

// True when every bit of v is 0.
bool vec_is_zero(const Vec& v) {
#if defined(__AVX512F__)
  __m512i x;
  std::memcpy(&x, &v, sizeof x);
  return _mm512_test_epi64_mask(x, x) == 0;
#elif defined(__AVX2__)
  __m256i x;
  std::memcpy(&x, &v, sizeof x);
  return _mm256_testz_si256(x, x) != 0;
#else
  __m128i x;
  std::memcpy(&x, &v, sizeof x);
  return _mm_movemask_epi8(_mm_cmpeq_epi32(x, _mm_setzero_si128())) == 0xFFFF;
#endif
}

// The ids of one slice side in one chunk, read a vector-sized block at a time: a bitset's words in place, or a
// sorted array's ids gathered into a block's bits as the blocks go by (blocks are visited in rising order, so a
// cursor walks the array once; ids of blocks skipped are stepped over).
struct SideWords {
  const uint64_t* words = nullptr;  // a bitset container's words, or null
  const uint16_t* values = nullptr; // an array container's ids when `words` is null
  int32_t count = 0;
  int32_t cursor = 0;

  static SideWords of_bitset(const uint64_t* words) { return SideWords{words, nullptr, 0, 0}; }
  static SideWords of_array(const array_container_t* array) {
    return SideWords{nullptr, array->array, array->cardinality, 0};
  }
  bool empty() const { return words == nullptr && values == nullptr; }

  // The side's bits in the words [w, w + VEC_WORDS).
  Vec block(uint32_t w) {
    Vec bits;
    if (words != nullptr) {
      std::memcpy(&bits, words + w, sizeof bits);
      return bits;
    }
    const uint32_t lo = w * 64;
    const uint32_t hi = lo + VEC_WORDS * 64;
    int32_t at = cursor;
    while (at < count && values[at] < lo) ++at;
    cursor = at;
    if (at == count || values[at] >= hi) return Vec{};  // the usual block of a small side: no id
    // Each word's bits gathered in a register and stored once: sorted ids fill one word after another.
    uint64_t lanes[VEC_WORDS] = {};
    uint32_t word = values[at] >> 6;
    uint64_t word_bits = 0;
    for (; at < count && values[at] < hi; ++at) {
      const uint32_t value = values[at];
      if ((value >> 6) != word) {
        lanes[word - w] = word_bits;
        word = value >> 6;
        word_bits = 0;
      }
      word_bits |= uint64_t{1} << (value & 63);
    }
    lanes[word - w] = word_bits;
    cursor = at;
    std::memcpy(&bits, lanes, sizeof bits);
    return bits;
  }
};

// One slice applied block by block: Q &= side (XOR invert), and the dropped ids
// are reported where `report` is all ones. An empty side: no id of Q has the
// key's bit, so Q empties.
struct BlockStep {
  SideWords side;
  uint64_t invert;
  uint64_t report;
};

// One slice of a range (low <= key <= high) applied block by block: the ids
// with a 1 there are `side` XOR `invert`; low_bit / high_bit are all ones
// where the low / high key has a 1.
struct RangeStep {
  SideWords side;
  uint64_t invert;
  uint64_t low_bit;
  uint64_t high_bit;
};

// A chunk of zero words: with invert all ones it stands for "every id has a 1
// here" in a slice whose stored ids all agree in the chunk, and vice versa.
alignas(64) const uint64_t ZERO_WORDS[1024] = {};


// Number of ids in a bitmap, exact for up to 64 containers, else estimated
// from 64 evenly spread ones (it only orders the equality steps).
uint64_t estimated_cardinality(const roaring_bitmap_t* bitmap) {
  const roaring_array_t& ra = bitmap->high_low_container;
  const int32_t sampled = ra.size < 64 ? ra.size : 64;
  uint64_t total = 0;
  for (int32_t j = 0; j < sampled; ++j) {
    const ContainerView c = view_of(ra.containers[static_cast<int64_t>(j) * ra.size / sampled],
                                    ra.typecodes[static_cast<int64_t>(j) * ra.size / sampled]);
    if (c.type == BITSET_CONTAINER_TYPE_CODE) {
      total += static_cast<uint64_t>(as_bitset(c)->cardinality);
    } else if (c.type == ARRAY_CONTAINER_TYPE_CODE) {
      total += static_cast<uint64_t>(as_array(c)->cardinality);
    } else {
      const run_container_t* run = as_run(c);
      for (int32_t r = 0; r < run->n_runs; ++r) total += uint64_t{run->runs[r].length} + 1;
    }
  }
  return sampled == 0 ? 0 : total * static_cast<uint64_t>(ra.size) / static_cast<uint64_t>(sampled);
}

// First index in the sorted `values[from, count)` whose value is >= v.
int32_t lower_bound_u16(const uint16_t* values, int32_t from, int32_t count, uint32_t v) {
  int32_t lo = from;
  int32_t hi = count;
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (values[mid] < v) lo = mid + 1; else hi = mid;
  }
  return lo;
}

// First run at or after `from` that ends at or after v.
int32_t first_run_reaching(const rle16_t* runs, int32_t from, int32_t count, uint32_t v) {
  int32_t lo = from;
  int32_t hi = count;
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (uint32_t{runs[mid].value} + runs[mid].length < v) lo = mid + 1; else hi = mid;
  }
  return lo;
}

void set_bit(uint64_t* words, uint32_t position) { words[position >> 6] |= uint64_t{1} << (position & 63); }

// Sets the bits first..last (inclusive) of the chunk.
void set_bits(uint64_t* words, uint32_t first, uint32_t last) {
  const uint32_t first_word = first >> 6;
  const uint32_t last_word = last >> 6;
  const uint64_t head = ~uint64_t{0} << (first & 63);
  const uint64_t tail = ~uint64_t{0} >> (63 - (last & 63));
  if (first_word == last_word) {
    words[first_word] |= head & tail;
    return;
  }
  words[first_word] |= head;
  for (uint32_t w = first_word + 1; w < last_word; ++w) words[w] = ~uint64_t{0};
  words[last_word] |= tail;
}

// ORs the ids of `c` that fall in words [lo, hi) into `words`.
void or_container_words(uint64_t* words, ContainerView c, uint32_t lo, uint32_t hi) {
  if (lo >= hi) return;
  const uint32_t first = lo * 64;
  const uint32_t last = hi * 64 - 1;
  if (c.type == BITSET_CONTAINER_TYPE_CODE) {
    const uint64_t* source = as_bitset(c)->array;
    for (uint32_t w = lo; w < hi; w += VEC_WORDS) {
      Vec a, b;
      std::memcpy(&a, words + w, sizeof a);
      std::memcpy(&b, source + w, sizeof b);
      a |= b;
      std::memcpy(words + w, &a, sizeof a);
    }
  } else if (c.type == ARRAY_CONTAINER_TYPE_CODE) {
    // One OR per id, no branch on the word: an array's ids lie about one to a word (a running set of a few thousand
    // ids a chunk, as a conjunction hands a range), where a test for the next word mispredicted on every id and
    // cost more than the scan that follows.
    const array_container_t* array = as_array(c);
    const uint16_t* values = array->array;
    for (int32_t j = lower_bound_u16(values, 0, array->cardinality, first); j < array->cardinality && values[j] <= last;
         ++j) {
      words[values[j] >> 6] |= uint64_t{1} << (values[j] & 63);
    }
  } else {
    const run_container_t* run = as_run(c);
    for (int32_t j = first_run_reaching(run->runs, 0, run->n_runs, first); j < run->n_runs; ++j) {
      const uint32_t start = run->runs[j].value;
      if (start > last) break;
      const uint32_t end = start + run->runs[j].length;
      set_bits(words, start < first ? first : start, end > last ? last : end);
    }
  }
}

// Membership tests for rising positions against one container.
struct Probe {
  ContainerView c;
  int32_t cursor = 0;

  bool contains(uint16_t v) {
    if (c.type == BITSET_CONTAINER_TYPE_CODE) return ((as_bitset(c)->array[v >> 6] >> (v & 63)) & 1) != 0;
    if (c.type == ARRAY_CONTAINER_TYPE_CODE) {
      const array_container_t* array = as_array(c);
      cursor = lower_bound_u16(array->array, cursor, array->cardinality, v);
      return cursor < array->cardinality && array->array[cursor] == v;
    }
    const run_container_t* run = as_run(c);
    cursor = first_run_reaching(run->runs, cursor, run->n_runs, v);
    return cursor < run->n_runs && run->runs[cursor].value <= v;
  }
};

// Keeps the bits of q in words [lo, hi) that are set in mask (clear when Invert),
// ORing the bits it drops into out when Emit. Returns the nonzero words left.
template <bool Invert, bool Emit>
uint32_t dense_step(uint64_t* q, const uint64_t* mask, uint64_t* out, uint32_t lo, uint32_t hi) {
  Vec nonzero = {};
  for (uint32_t w = lo; w < hi; w += VEC_WORDS) {
    Vec qv, mv;
    std::memcpy(&qv, q + w, sizeof qv);
    std::memcpy(&mv, mask + w, sizeof mv);
    const Vec kept = Invert ? (qv & ~mv) : (qv & mv);
    if constexpr (Emit) {
      Vec ov;
      std::memcpy(&ov, out + w, sizeof ov);
      ov |= qv ^ kept;
      std::memcpy(out + w, &ov, sizeof ov);
    }
    std::memcpy(q + w, &kept, sizeof kept);
    nonzero -= (Vec)(kept != 0);
  }
  uint64_t count = 0;
  for (uint32_t lane = 0; lane < VEC_WORDS; ++lane) count += nonzero[lane];
  return static_cast<uint32_t>(count);
}

// Number of set bits in words [lo, hi).
uint32_t popcount_words(const uint64_t* words, uint32_t lo, uint32_t hi) {
  const Vec m1 = Vec{} + 0x5555555555555555ULL;
  const Vec m2 = Vec{} + 0x3333333333333333ULL;
  const Vec m4 = Vec{} + 0x0F0F0F0F0F0F0F0FULL;
  Vec total = {};
  for (uint32_t w = lo; w < hi; w += VEC_WORDS) {
    Vec x;
    std::memcpy(&x, words + w, sizeof x);
    x = x - ((x >> 1) & m1);
    x = (x & m2) + ((x >> 2) & m2);
    x = (x + (x >> 4)) & m4;
    x += x >> 8;
    x += x >> 16;
    x += x >> 32;
    total += x & 0x7F;
  }
  uint64_t count = 0;
  for (uint32_t lane = 0; lane < VEC_WORDS; ++lane) count += total[lane];
  return static_cast<uint32_t>(count);
}

bool block_is_zero(const uint64_t* words) {
  uint64_t any = 0;
  for (uint32_t j = 0; j < VEC_WORDS; ++j) any |= words[j];
  return any == 0;
}

uint32_t block_floor(uint32_t word) { return word & ~(VEC_WORDS - 1); }
uint32_t block_ceil(uint32_t word) { return (word + VEC_WORDS - 1) & ~(VEC_WORDS - 1); }

// Per-call buffers, on the caller's stack: nothing is allocated per chunk.
struct alignas(64) ScanBuffers {
  uint64_t q[CHUNK_WORDS];      // running set while dense
  uint64_t answer[CHUNK_WORDS]; // ids reported for the current chunk
  uint64_t mask[CHUNK_WORDS];   // a non-bitset container spread into words
  uint16_t positions[SPARSE_CAP];
};

// The running set Q of one chunk and the chunk's reported ids.
class ChunkScan {
 public:
  explicit ChunkScan(ScanBuffers& buffers)
      : q_(buffers.q), answer_(buffers.answer), mask_(buffers.mask), positions_(buffers.positions) {}

  bool empty() const { return sparse_ ? count_ == 0 : lo_ >= hi_; }
  bool answer_empty() const { return answer_lo_ >= answer_hi_; }

  // Makes the ids reported so far the new Q and starts an empty answer, so a
  // second comparison can run on the first one's answer within the chunk.
  void answer_to_running_set() {
    uint64_t* const reported = answer_;
    answer_ = q_;
    q_ = reported;
    std::memset(answer_, 0, CHUNK_WORDS * sizeof(uint64_t));
    sparse_ = false;
    lo_ = answer_empty() ? 0 : answer_lo_;
    hi_ = answer_empty() ? 0 : answer_hi_;
    answer_lo_ = CHUNK_WORDS;
    answer_hi_ = 0;
    extract_below_ = SPARSE_CAP;
  }

  // Reports the ids of Q (read from `from`, cut to `stored` unless null) whose
  // key lies between the two keys of `steps`. Each vector-sized block walks
  // both comparisons at once: per key the ids still equal to it so far, and
  // the ids already decided above the low key / below the high key; ids out
  // of range on either side leave both, and the block stops when none is
  // undecided. Q is left empty.
  void run_range_blocks(const uint64_t* from, const uint64_t* stored, RangeStep* steps, uint32_t n) {
    if (any_array(steps, n)) {
      range_blocks<true>(from, stored, steps, n);
    } else {
      range_blocks<false>(from, stored, steps, n);
    }
  }

  // The running-set words, for run_blocks to read Q in place.
  const uint64_t* running_words() const { return q_; }

  // Whether Q loaded from `c` starts as a list of ids.
  static bool starts_as_list(ContainerView c) {
    return c.type == ARRAY_CONTAINER_TYPE_CODE && as_array(c)->cardinality <= static_cast<int32_t>(SPARSE_CAP);
  }

  bool is_list() const { return sparse_; }

  // Q spans the whole chunk; its words are supplied to run_blocks.
  void begin_dense() {
    sparse_ = false;
    lo_ = 0;
    hi_ = CHUNK_WORDS;
    extract_below_ = SPARSE_CAP;
  }

  // Runs `steps` on each vector-sized block of Q (read from `from`, left in the
  // running-set buffer); a block stops as soon as its running set is empty.
  void run_blocks(const uint64_t* from, BlockStep* steps, uint32_t n) {
    if (any_array(steps, n)) {
      blocks<true>(from, steps, n);
    } else {
      blocks<false>(from, steps, n);
    }
  }

 private:
  // Whether a step reads an array side: the block loops then gather its ids; without one they read words only.
  template <class Step>
  static bool any_array(const Step* steps, uint32_t n) {
    for (uint32_t j = 0; j < n; ++j) {
      if (steps[j].side.values != nullptr) return true;
    }
    return false;
  }

  template <bool Gather>
  void range_blocks(const uint64_t* from, const uint64_t* stored, RangeStep* steps, uint32_t n) {
    widen_answer(lo_, hi_);
    for (uint32_t w = lo_; w < hi_; w += VEC_WORDS) {
      Vec q;
      std::memcpy(&q, from + w, sizeof q);
      if (stored != nullptr) {
        Vec cut;
        std::memcpy(&cut, stored + w, sizeof cut);
        q &= cut;
      }
      Vec at_low = q, at_high = q;    // equal to the low / high key on the bits seen
      Vec above_low = {}, below_high = {};
      for (uint32_t j = 0; j < n && !vec_is_zero(at_low | at_high); ++j) {
        RangeStep& step = steps[j];
        Vec ones;
        if constexpr (Gather) {
          ones = step.side.block(w);
        } else {
          std::memcpy(&ones, step.side.words + w, sizeof ones);
        }
        ones ^= step.invert;
        const Vec low_differs = ones ^ step.low_bit;
        const Vec high_differs = ones ^ step.high_bit;
        above_low |= at_low & low_differs & ~step.low_bit;
        below_high |= at_high & high_differs & step.high_bit;
        at_low &= ~low_differs;
        at_high &= ~high_differs;
        const Vec in_range = (above_low | at_low) & (below_high | at_high);
        at_low &= in_range;
        at_high &= in_range;
      }
      Vec answer;
      std::memcpy(&answer, answer_ + w, sizeof answer);
      answer |= (above_low | at_low) & (below_high | at_high);
      std::memcpy(answer_ + w, &answer, sizeof answer);
    }
    clear();
  }

  template <bool Gather>
  void blocks(const uint64_t* from, BlockStep* steps, uint32_t n) {
    uint64_t any_report = 0;
    for (uint32_t j = 0; j < n; ++j) any_report |= steps[j].report;
    if (any_report != 0) widen_answer(lo_, hi_);
    Vec nonzero = {};
    for (uint32_t w = lo_; w < hi_; w += VEC_WORDS) {
      Vec q;
      std::memcpy(&q, from + w, sizeof q);
      Vec found = {};
      for (uint32_t j = 0; j < n && !vec_is_zero(q); ++j) {
        BlockStep& step = steps[j];
        Vec kept = {};
        if constexpr (Gather) {
          if (!step.side.empty()) kept = q & (step.side.block(w) ^ step.invert);
        } else if (step.side.words != nullptr) {
          Vec mask;
          std::memcpy(&mask, step.side.words + w, sizeof mask);
          kept = q & (mask ^ step.invert);
        }
        found |= (q ^ kept) & step.report;
        q = kept;
      }
      std::memcpy(q_ + w, &q, sizeof q);
      if (any_report != 0) {
        Vec answer;
        std::memcpy(&answer, answer_ + w, sizeof answer);
        answer |= found;
        std::memcpy(answer_ + w, &answer, sizeof answer);
      }
      nonzero -= (Vec)(q != 0);
    }
    uint64_t count = 0;
    for (uint32_t lane = 0; lane < VEC_WORDS; ++lane) count += nonzero[lane];
    after_dense_step(static_cast<uint32_t>(count));
  }

 public:
  // Q = the ids of `c`.
  void load(ContainerView c) {
    extract_below_ = SPARSE_CAP;
    if (c.type == RUN_CONTAINER_TYPE_CODE && as_run(c)->n_runs == 0) {
      sparse_ = true;  // CRoaring drops empty containers; tolerate one anyway
      count_ = 0;
      return;
    }
    if (starts_as_list(c)) {
      const array_container_t* array = as_array(c);
      sparse_ = true;
      count_ = static_cast<uint32_t>(array->cardinality);
      std::memcpy(positions_, array->array, count_ * sizeof(uint16_t));
      return;
    }
    sparse_ = false;
    if (c.type == BITSET_CONTAINER_TYPE_CODE) {
      std::memcpy(q_, as_bitset(c)->array, CHUNK_WORDS * sizeof(uint64_t));
      lo_ = 0;
      hi_ = CHUNK_WORDS;
      return;
    }
    uint32_t first, last;
    if (c.type == ARRAY_CONTAINER_TYPE_CODE) {
      const array_container_t* array = as_array(c);
      first = array->array[0];
      last = array->array[array->cardinality - 1];
    } else {
      const run_container_t* run = as_run(c);
      first = run->runs[0].value;
      last = uint32_t{run->runs[run->n_runs - 1].value} + run->runs[run->n_runs - 1].length;
    }
    lo_ = block_floor(first >> 6);
    hi_ = block_ceil((last >> 6) + 1);
    std::memset(q_ + lo_, 0, (hi_ - lo_) * sizeof(uint64_t));
    or_container_words(q_, c, lo_, hi_);
  }

  // Q = Q AND (a OR b); `b` may be absent.
  void restrict_to(ContainerView a, ContainerView b) {
    if (!b) {
      keep(a, false, false);
      return;
    }
    if (sparse_) {
      Probe pa{a}, pb{b};
      uint32_t kept = 0;
      for (uint32_t t = 0; t < count_; ++t) {
        const uint16_t v = positions_[t];
        if (pa.contains(v) || pb.contains(v)) positions_[kept++] = v;
      }
      count_ = kept;
      return;
    }
    std::memset(mask_ + lo_, 0, (hi_ - lo_) * sizeof(uint64_t));
    or_container_words(mask_, a, lo_, hi_);
    or_container_words(mask_, b, lo_, hi_);
    after_dense_step(dense_step<false, false>(q_, mask_, answer_, lo_, hi_));
  }

  // Q = Q AND c (Q AND NOT c when `invert`); the ids dropped are reported when `report`.
  void keep(ContainerView c, bool invert, bool report) {
    if (sparse_) {
      keep_sparse(c, invert, report);
      return;
    }
    const uint64_t* mask = c.type == BITSET_CONTAINER_TYPE_CODE ? as_bitset(c)->array : spread(c);
    uint32_t nonzero_words;
    if (report) {
      widen_answer(lo_, hi_);
      nonzero_words = invert ? dense_step<true, true>(q_, mask, answer_, lo_, hi_)
                             : dense_step<false, true>(q_, mask, answer_, lo_, hi_);
    } else {
      nonzero_words = invert ? dense_step<true, false>(q_, mask, answer_, lo_, hi_)
                             : dense_step<false, false>(q_, mask, answer_, lo_, hi_);
    }
    after_dense_step(nonzero_words);
  }

  // Reports every id of Q and empties it.
  void report_all() {
    if (sparse_) {
      for (uint32_t t = 0; t < count_; ++t) report_position(positions_[t]);
      count_ = 0;
      return;
    }
    widen_answer(lo_, hi_);
    or_words(answer_, q_, lo_, hi_);
    clear();
  }

  void clear() {
    if (sparse_) count_ = 0; else lo_ = hi_ = 0;
  }

  // Appends the chunk's reported ids to `target` as one container under `key`
  // and resets the answer buffer for the next chunk.
  void flush(roaring_bitmap_t* target, uint16_t key) {
    if (answer_lo_ >= answer_hi_) return;
    const uint32_t lo = answer_lo_;
    const uint32_t hi = answer_hi_;
    answer_lo_ = CHUNK_WORDS;
    answer_hi_ = 0;
    const uint32_t cardinality = popcount_words(answer_, lo, hi);
    if (cardinality == 0) return;  // reported ranges that held no id left the buffer zero
    if (cardinality > static_cast<uint32_t>(ARRAY_MAX)) {
      bitset_container_t* bitset = bitset_container_create();
      if (bitset == nullptr) scan_support::throw_out_of_memory();
      std::memcpy(bitset->array, answer_, CHUNK_WORDS * sizeof(uint64_t));
      bitset->cardinality = static_cast<int32_t>(cardinality);
      ra_append(&target->high_low_container, key, bitset, BITSET_CONTAINER_TYPE_CODE);
    } else {
      array_container_t* array = array_container_create_given_capacity(static_cast<int32_t>(cardinality) + 3);
      if (array == nullptr) scan_support::throw_out_of_memory();
      decode_positions(answer_, lo, hi, array->array);
      array->cardinality = static_cast<int32_t>(cardinality);
      ra_append(&target->high_low_container, key, array, ARRAY_CONTAINER_TYPE_CODE);
    }
    std::memset(answer_ + lo, 0, (hi - lo) * sizeof(uint64_t));
  }

 private:
  // Spreads a non-bitset container into the mask words Q spans.
  const uint64_t* spread(ContainerView c) {
    std::memset(mask_ + lo_, 0, (hi_ - lo_) * sizeof(uint64_t));
    or_container_words(mask_, c, lo_, hi_);
    return mask_;
  }

  void keep_sparse(ContainerView c, bool invert, bool report) {
    Probe probe{c};
    uint32_t kept = 0;
    for (uint32_t t = 0; t < count_; ++t) {
      const uint16_t v = positions_[t];
      if (probe.contains(v) != invert) {
        positions_[kept++] = v;
      } else if (report) {
        report_position(v);
      }
    }
    count_ = kept;
  }

  // Shrinks the span of words Q occupies and moves a small Q to the list form.
  void after_dense_step(uint32_t nonzero_words) {
    if (nonzero_words == 0) {
      lo_ = hi_ = 0;
      return;
    }
    if (2 * nonzero_words <= hi_ - lo_) {
      while (block_is_zero(q_ + lo_)) lo_ += VEC_WORDS;
      while (block_is_zero(q_ + hi_ - VEC_WORDS)) hi_ -= VEC_WORDS;
    }
    if (nonzero_words <= extract_below_) {
      if (!to_sparse()) extract_below_ = nonzero_words / 2;
    }
  }

  // Lists Q's ids if there are at most SPARSE_CAP of them.
  bool to_sparse() {
    uint32_t n = 0;
    for (uint32_t w = lo_; w < hi_; ++w) {
      for (uint64_t bits = q_[w]; bits != 0; bits &= bits - 1) {
        if (n == SPARSE_CAP) return false;
        positions_[n++] = static_cast<uint16_t>(w * 64 + static_cast<uint32_t>(__builtin_ctzll(bits)));
      }
    }
    sparse_ = true;
    count_ = n;
    return true;
  }

  void report_position(uint16_t v) {
    set_bit(answer_, v);
    widen_answer(block_floor(v >> 6), block_floor(v >> 6) + VEC_WORDS);
  }

  void widen_answer(uint32_t lo, uint32_t hi) {
    if (lo < answer_lo_) answer_lo_ = lo;
    if (hi > answer_hi_) answer_hi_ = hi;
  }

  static void or_words(uint64_t* into, const uint64_t* from, uint32_t lo, uint32_t hi) {
    for (uint32_t w = lo; w < hi; w += VEC_WORDS) {
      Vec a, b;
      std::memcpy(&a, into + w, sizeof a);
      std::memcpy(&b, from + w, sizeof b);
      a |= b;
      std::memcpy(into + w, &a, sizeof a);
    }
  }

  uint64_t* q_;       // running set while dense
  uint64_t* answer_;  // ids reported for the current chunk; zero outside the answer span
  uint64_t* mask_;
  uint16_t* positions_;
  bool sparse_ = false;
  uint32_t count_ = 0;               // ids listed while sparse
  uint32_t lo_ = 0, hi_ = 0;         // word span of Q while dense, in whole vectors
  uint32_t extract_below_ = SPARSE_CAP;
  uint32_t answer_lo_ = CHUNK_WORDS, answer_hi_ = 0;  // word span of reported ids
};

// Number of ids in a container, or -1 when a bitset's count is not known.
int32_t container_cardinality(ContainerView c) {
  if (c.type == BITSET_CONTAINER_TYPE_CODE) return as_bitset(c)->cardinality;
  if (c.type == ARRAY_CONTAINER_TYPE_CODE) return as_array(c)->cardinality;
  const run_container_t* run = as_run(c);
  int32_t total = 0;
  for (int32_t r = 0; r < run->n_runs; ++r) total += int32_t{run->runs[r].length} + 1;
  return total;
}

// Whether a slice's kept container holds every stored id of the chunk (it holds no others).
bool holds_all(ContainerView kept, ContainerView stored) {
  const int32_t count = container_cardinality(kept);
  return count >= 0 && count == container_cardinality(stored);
}

// One comparison with one key: per slice the kept side and whether the key's bit is on it, whether ids that first
// differ from the key there are reported, the order the slices are taken in, and a search cursor per bitmap.
// Within the stored ids the other side is the complement of the kept one, so every step reads the kept container
// only: Q AND key side is Q AND kept (key on the kept side) or Q AND NOT kept (key on the other).
struct KeyPlan {
  const roaring_bitmap_t* kept[SCAN_KEY_BITS];
  bool key_is_kept[SCAN_KEY_BITS];
  bool report[SCAN_KEY_BITS];
  uint8_t order[SCAN_KEY_BITS];
  int32_t cursor[SCAN_KEY_BITS];
  bool include_equal;
};

// Fills `plan` for comparing with the key (m, e); false when no stored key can
// equal it and the kind is Equal (nothing to find).
bool plan_key(KeyPlan& plan, ScanKind kind, const roaring_bitmap_t* const* kept, const bool* kept_bits,
              const roaring_bitmap_t* stored, uint64_t m, uint16_t e) {
  const bool greater = kind == ScanKind::Greater || kind == ScanKind::GreaterEqual;
  const bool less = kind == ScanKind::Less || kind == ScanKind::LessEqual;
  plan.include_equal = !(kind == ScanKind::Greater || kind == ScanKind::Less);
  for (unsigned i = 0; i < SCAN_KEY_BITS; ++i) {
    const bool bit = i < 64 ? ((m >> i) & 1) != 0 : ((e >> (i - 64)) & 1) != 0;
    plan.kept[i] = kept[i];
    plan.key_is_kept[i] = bit == kept_bits[i];
    plan.report[i] = (greater && !bit) || (less && bit);
    plan.order[i] = static_cast<uint8_t>(SCAN_KEY_BITS - 1 - i);
    plan.cursor[i] = 0;
  }
  if (kind != ScanKind::Equal) return true;
  // Sizes only order the steps, so the other side's estimate (stored less kept) may be rough; an empty kept side
  // under the key's bit is exact, and means no stored key has that bit.
  const uint64_t stored_size = estimated_cardinality(stored);
  uint64_t size[SCAN_KEY_BITS];
  for (unsigned i = 0; i < SCAN_KEY_BITS; ++i) {
    const uint64_t kept_size = estimated_cardinality(kept[i]);
    if (plan.key_is_kept[i]) {
      if (kept_size == 0) return false;
      size[i] = kept_size;
    } else {
      size[i] = stored_size > kept_size ? stored_size - kept_size : 1;
    }
  }
  for (unsigned s = 1; s < SCAN_KEY_BITS; ++s) {  // insertion sort: smallest key side first
    const uint8_t slice = plan.order[s];
    unsigned t = s;
    for (; t > 0 && size[plan.order[t - 1]] > size[slice]; --t) plan.order[t] = plan.order[t - 1];
    plan.order[t] = slice;
  }
  return true;
}

// Takes Q (already cut to stored ids, or with steps[0..n) cutting it) through
// the plan's slices from step `s` on, reporting into the chunk's answer.
// `from` holds Q's words when they are not yet in the running-set buffer; `stored` is the chunk's container of
// stored ids.
void walk_slices(ChunkScan& chunk, KeyPlan& plan, uint16_t chunk_key, unsigned s, const uint64_t* from,
                 BlockStep* steps, uint32_t n, bool steps_cut_to_stored, ContainerView stored) {
  if (!chunk.empty() && !chunk.is_list()) {
    // Gather the leading slices whose kept side has a bitset or array container here (or none) and run them
    // block by block; the first slice with a run container is resumed below.
    for (; s < SCAN_KEY_BITS; ++s) {
      const unsigned i = plan.order[s];
      const uint64_t report_mask = plan.report[i] ? ~uint64_t{0} : 0;
      const ContainerView kept = find_container(plan.kept[i], chunk_key, plan.cursor[i]);
      // No kept id here, or only kept ids: every id of Q has the same bit, the key's or not.
      const bool uniform = !kept || holds_all(kept, stored);
      if (uniform) {
        const bool all_have_key_bit = !kept != plan.key_is_kept[i];
        if (all_have_key_bit) continue;
        steps[n++] = {SideWords{}, 0, report_mask};
        s = SCAN_KEY_BITS;
        break;
      }
      const uint64_t invert = plan.key_is_kept[i] ? 0 : ~uint64_t{0};
      if (kept.type == BITSET_CONTAINER_TYPE_CODE) {
        steps[n++] = {SideWords::of_bitset(as_bitset(kept)->array), invert, report_mask};
      } else if (kept.type == ARRAY_CONTAINER_TYPE_CODE) {
        steps[n++] = {SideWords::of_array(as_array(kept)), invert, report_mask};
      } else {
        break;
      }
    }
    // A first step that keeps Q AND key side and reports nothing cuts Q to
    // stored ids by itself (uniform slices skipped before it report nothing).
    BlockStep* run = steps;
    if (steps_cut_to_stored && n >= 2 && !steps[1].side.empty() && steps[1].invert == 0 && steps[1].report == 0) {
      ++run;
      --n;
    }
    if (n != 0 || from != chunk.running_words()) chunk.run_blocks(from, run, n);
  }
  for (; s < SCAN_KEY_BITS && !chunk.empty(); ++s) {
    const unsigned i = plan.order[s];
    const ContainerView kept = find_container(plan.kept[i], chunk_key, plan.cursor[i]);
    if (!kept || holds_all(kept, stored)) {
      const bool all_have_key_bit = !kept != plan.key_is_kept[i];
      if (all_have_key_bit) continue;
      // Every id of Q differs from the key here.
      if (plan.report[i]) chunk.report_all(); else chunk.clear();
      break;
    }
    chunk.keep(kept, !plan.key_is_kept[i], plan.report[i]);
  }
  if (plan.include_equal && !chunk.empty()) chunk.report_all();
}

// Answers low <= key <= high for one chunk in a single block pass when no slice
// has a run container there; false, with nothing done, otherwise.
bool range_chunk_in_one_pass(ChunkScan& chunk, const roaring_bitmap_t* const* kept, const bool* kept_bits,
                             uint64_t low_m, uint16_t low_e, uint64_t high_m, uint16_t high_e, uint16_t chunk_key,
                             ContainerView first, ContainerView stored, int32_t* kept_cursor, RangeStep* steps) {
  uint32_t n = 0;
  for (unsigned i = SCAN_KEY_BITS; i-- > 0;) {
    const uint64_t low_bit = (i < 64 ? (low_m >> i) & 1 : (low_e >> (i - 64)) & 1) != 0 ? ~uint64_t{0} : 0;
    const uint64_t high_bit = (i < 64 ? (high_m >> i) & 1 : (high_e >> (i - 64)) & 1) != 0 ? ~uint64_t{0} : 0;
    const ContainerView with_kept = find_container(kept[i], chunk_key, kept_cursor[i]);
    if (!with_kept || holds_all(with_kept, stored)) {
      // The bit every stored id has here.
      const uint64_t all = (!with_kept != kept_bits[i]) ? ~uint64_t{0} : 0;
      if (low_bit == all && high_bit == all) continue;  // both keys agree: nothing changes
      steps[n++] = {SideWords::of_bitset(ZERO_WORDS), all, low_bit, high_bit};
    } else if (with_kept.type == BITSET_CONTAINER_TYPE_CODE) {
      steps[n++] = {SideWords::of_bitset(as_bitset(with_kept)->array), kept_bits[i] ? 0 : ~uint64_t{0}, low_bit,
                    high_bit};
    } else if (with_kept.type == ARRAY_CONTAINER_TYPE_CODE) {
      steps[n++] = {SideWords::of_array(as_array(with_kept)), kept_bits[i] ? 0 : ~uint64_t{0}, low_bit, high_bit};
    } else {
      return false;
    }
  }
  const uint64_t* from = chunk.running_words();
  if (first.type == BITSET_CONTAINER_TYPE_CODE) {
    chunk.begin_dense();
    from = as_bitset(first)->array;
  } else {
    chunk.load(first);
    if (chunk.empty()) return true;
  }
  const uint64_t* stored_words = nullptr;
  if (stored.type == BITSET_CONTAINER_TYPE_CODE) {
    stored_words = as_bitset(stored)->array;
  } else {
    if (from != chunk.running_words()) chunk.load(first);
    from = chunk.running_words();
    chunk.restrict_to(stored, {});
    if (chunk.empty()) return true;  // a small Q may now be listed too; its words and span stay valid
  }
  chunk.run_range_blocks(from, stored_words, steps, n);
  return true;
}

// ORs into `out` the ids of `allowed` (every stored id when null, Equal only)
// whose key compares with (m, e) as `kind` asks and, when `second_kind` is
// given, also with (second_m, second_e) as it asks (an at-least then at-most
// pair takes the single-pass route where it can).
void ordered_scan(const NumericalBitmap& nb, ScanKind kind, uint64_t m, uint16_t e, roaring_bitmap_t* out,
                  const roaring_bitmap_t* allowed, const ScanKind* second_kind = nullptr, uint64_t second_m = 0,
                  uint16_t second_e = 0) {
  const roaring_bitmap_t* kept[SCAN_KEY_BITS];
  bool kept_bits[SCAN_KEY_BITS];
  const roaring_bitmap_t* stored_ids = nullptr;
  scan_support::slice_bitmaps(nb, kept, kept_bits, &stored_ids);
  if (stored_ids->high_low_container.size == 0) return;

  KeyPlan plan, second;
  if (!plan_key(plan, kind, kept, kept_bits, stored_ids, m, e)) return;
  if (second_kind != nullptr && !plan_key(second, *second_kind, kept, kept_bits, stored_ids, second_m, second_e)) {
    return;
  }

  // Without an allowed set, equality walks the chunks of its smallest key side when that is a kept side, which
  // already cuts Q to stored ids and takes that slice's step; otherwise the chunks of the stored ids.
  const roaring_bitmap_t* source = allowed;
  unsigned first_step = 0;
  if (allowed == nullptr) {
    const bool kept_first = plan.key_is_kept[plan.order[0]];
    source = kept_first ? plan.kept[plan.order[0]] : stored_ids;
    first_step = kept_first ? 1 : 0;
  }

  // An empty output receives the chunks directly; otherwise they are gathered
  // in the scratch bitmap and merged once at the end.
  roaring_bitmap_t* target = out->high_low_container.size == 0 ? out : scan_support::borrow_tmp_bitmap();

  ScanBuffers buffers;
  std::memset(buffers.answer, 0, sizeof buffers.answer);
  ChunkScan chunk(buffers);
  int32_t stored_cursor = 0;
  BlockStep steps[SCAN_KEY_BITS + 1];
  RangeStep range_steps[SCAN_KEY_BITS];
  int32_t kept_cursor[SCAN_KEY_BITS] = {};

  const roaring_array_t& chunks = source->high_low_container;
  for (int32_t ci = 0; ci < chunks.size; ++ci) {
    const uint16_t chunk_key = chunks.keys[ci];
    const ContainerView first = view_of(chunks.containers[ci], chunks.typecodes[ci]);
    const ContainerView stored = find_container(stored_ids, chunk_key, stored_cursor);  // the chunk's stored ids
    if (!stored) continue;
    const bool range = second_kind != nullptr && kind == ScanKind::GreaterEqual && *second_kind == ScanKind::LessEqual;
    if (range && !ChunkScan::starts_as_list(first) &&
        range_chunk_in_one_pass(chunk, kept, kept_bits, m, e, second_m, second_e, chunk_key, first, stored,
                                kept_cursor, range_steps)) {
      chunk.flush(target, chunk_key);
      continue;
    }
    uint32_t n = 0;
    bool steps_cut_to_stored = false;
    const uint64_t* from = chunk.running_words();
    if (ChunkScan::starts_as_list(first)) {
      chunk.load(first);
      if (allowed != nullptr) chunk.restrict_to(stored, {});
    } else {
      if (first.type == BITSET_CONTAINER_TYPE_CODE) {
        chunk.begin_dense();
        from = as_bitset(first)->array;  // read in place by the first block pass
      } else {
        chunk.load(first);
      }
      if (allowed != nullptr) {
        if (stored.type == BITSET_CONTAINER_TYPE_CODE) {
          steps[n++] = {SideWords::of_bitset(as_bitset(stored)->array), 0, 0};
          steps_cut_to_stored = true;
        } else {
          if (from != chunk.running_words()) chunk.load(first);
          from = chunk.running_words();
          chunk.restrict_to(stored, {});
        }
      }
    }
    walk_slices(chunk, plan, chunk_key, first_step, from, steps, n, steps_cut_to_stored, stored);
    if (second_kind != nullptr) {
      if (chunk.answer_empty()) continue;
      chunk.answer_to_running_set();
      walk_slices(chunk, second, chunk_key, 0, chunk.running_words(), steps, 0, false, stored);
    }
    chunk.flush(target, chunk_key);
  }

  if (target != out && target->high_low_container.size != 0) {
    roaring_bitmap_or_inplace(out, target);
    roaring_bitmap_clear(target);
  }
}

}  // namespace
}  // namespace vostrel
