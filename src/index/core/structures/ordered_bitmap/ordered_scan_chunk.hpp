// ChunkScan: the running set Q of one chunk and the ids reported for it, with the block passes that apply slice
// steps to Q. Part of the kernel builds (see ordered_bitmap_kernels.hpp): internal linkage and no standard-library
// templates, for the reason given there; apart from the per-key planning that drives it.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>
#include <cstring>

#include "index/core/structures/bitmap_ops/roaring_containers.hpp"
#include "index/core/structures/ordered_bitmap/ordered_scan_containers.hpp"
#include "index/core/structures/ordered_bitmap/ordered_scan_words.hpp"

namespace vostrel {

namespace scan_support {
// Defined once, in the plain build (ordered_bitmap.cpp).
[[noreturn]] void throw_out_of_memory();
}  // namespace scan_support

namespace {

constexpr uint32_t SPARSE_CAP = 64;     // up to this many ids, test them one by one
constexpr int32_t ARRAY_MAX = 4096;     // CRoaring keeps containers of up to 4096 ids as arrays

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

}  // namespace
}  // namespace vostrel
