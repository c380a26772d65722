// TextOrder: a value map's distinct texts in byte order, so that a prefix is a range of them.
//
// A selective prefix over a map of few distinct texts each held by many ids (postal codes) is answered from the
// distinct texts (see walk_texts in leaf_operators.cpp). Walking the whole value table for it reads every slot, some
// 24 bytes per distinct text, to keep a handful; in order, the texts that start with the prefix are one run found by
// a binary search, and only their slots are read.
//
// Made by the first prefix query that wants it, not by writes: a map never asked for a prefix pays nothing. Writes do
// not keep it either; it is a copy of the keys (16 bytes per distinct text: text up to 15 bytes in place, longer text
// sharing the key's record) checked against the map's counts of keys made and dropped. A key made since it was listed
// means it must be made again; keys dropped since are only skipped (their lookup finds nothing) until they are a
// quarter of the list. Guarded by the owning map's Part::Text lock: read under the read lock, made under the write
// lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "index/value.hpp"

namespace vostrel {

class TextOrder {
 public:
  // True when the list holds every key of `texts` and few keys gone since.
  template <class Texts>
  bool current(const Texts& texts) const {
    return listed_ && made_ == texts.keys_made() && (texts.keys_dropped() - dropped_) * 4 <= sorted_.size();
  }

  // Lists the keys of `texts` (all Str) afresh. Throws std::bad_alloc and keeps the old list when out of memory.
  template <class Texts>
  void rebuild(const Texts& texts) {
    std::vector<PyValue> sorted;
    sorted.reserve(texts.size());
    texts.for_each_entry([&](const PyValue& key, uint32_t, const auto*) { sorted.push_back(key); });
    std::sort(sorted.begin(), sorted.end(),
              [](const PyValue& a, const PyValue& b) { return a.as_str() < b.as_str(); });
    sorted_ = std::move(sorted);
    made_ = texts.keys_made();
    dropped_ = texts.keys_dropped();
    listed_ = true;
  }

  // Calls f(key) for each listed text that starts with `prefix`, in order, while f returns true.
  template <class F>
  void for_each_with_prefix(std::string_view prefix, F&& f) const {
    auto at = std::lower_bound(sorted_.begin(), sorted_.end(), prefix,
                               [](const PyValue& key, std::string_view text) { return key.as_str() < text; });
    for (; at != sorted_.end() && at->as_str().starts_with(prefix); ++at) {
      if (!f(*at)) return;
    }
  }

 private:
  std::vector<PyValue> sorted_;
  uint64_t made_ = 0;
  uint64_t dropped_ = 0;
  bool listed_ = false;
};

}  // namespace vostrel
