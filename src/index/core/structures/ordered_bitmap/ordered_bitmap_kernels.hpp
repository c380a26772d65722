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
//
// The parts live in ordered_scan_words.hpp (the native vector and word helpers), ordered_scan_containers.hpp
// (reading CRoaring's containers) and ordered_scan_chunk.hpp (one chunk's running set); this file plans each key
// and drives the chunks.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>
#include <cstring>

#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "index/core/structures/ordered_bitmap/ordered_scan_chunk.hpp"
#include "index/core/structures/ordered_bitmap/ordered_scan_containers.hpp"
#include "index/core/structures/ordered_bitmap/ordered_scan_words.hpp"
#include "index/core/structures/bitmap_ops/roaring_containers.hpp"

namespace vostrel {

namespace scan_support {
// Defined once, in the plain build (ordered_bitmap.cpp).
roaring_bitmap_t* borrow_tmp_bitmap();
// The kept side of every slice, the bit of each kept side, and the stored ids.
void slice_bitmaps(const NumericalBitmap& nb, const roaring_bitmap_t** kept, bool* kept_bits,
                   const roaring_bitmap_t** stored);
}  // namespace scan_support

namespace {

enum class ScanKind { Greater, GreaterEqual, Less, LessEqual, Equal };

constexpr unsigned SCAN_KEY_BITS = NumericalBitmap::KEY_BITS;

// A chunk of zero words: with invert all ones it stands for "every id has a 1
// here" in a slice whose stored ids all agree in the chunk, and vice versa.
alignas(64) const uint64_t ZERO_WORDS[1024] = {};

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
