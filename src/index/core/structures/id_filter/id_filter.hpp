// IdFilter: one set of ids asked "is this id in?" many times in a row, as a prune asks for every id stored in every
// structure of an index.
//
// Layout: a dense bit vector over the ids from the set's smallest to its largest when that span is cheap for the set's
// size (a few bytes per member at most), else the Roaring bitmap itself. A million ids take 128 KiB as bits, which
// stay in the second-level cache: a test is a shift and a load, where Roaring's costs a search among its chunks and a
// search or a bit test inside one, several times more per id.
//
// Borrows the bitmap: it must outlive the filter and not change while the filter is used.
#pragma once

#include <cstdint>
#include <vector>

#include "index/core/structures/bitmap.hpp"

namespace vostrel {

class IdFilter {
 public:
  explicit IdFilter(const Bitmap& ids);

  bool contains(uint32_t id) const {
    if (dense_) {
      const uint64_t offset = uint64_t{id} - first_;  // ids below the first wrap to a large offset
      return offset < span_ && ((words_[offset >> 6] >> (offset & 63)) & 1) != 0;
    }
    return ids_->contains(id);
  }

  // The set itself, for set algebra on whole bitmaps.
  const Bitmap& bitmap() const { return *ids_; }
  // Whether the tests read bits (for tests of the filter itself).
  bool is_dense() const { return dense_; }

 private:
  const Bitmap* ids_;
  std::vector<uint64_t> words_;
  uint64_t first_ = 0;
  uint64_t span_ = 0;
  bool dense_ = false;
};

}  // namespace vostrel
