// OrderedIdMap: number -> id set in key order, so that equality and narrow ranges cost what their answer costs.
//
// Layout: entries (key, a lone id, the number of a side set) sorted by key in leaves of at most LEAF_ENTRIES, and a
// directory of each leaf's first key for the binary search. A leaf is a plain vector grown as needed (a map of a few
// numbers costs a few entries) and split in two when full; the directory moves one pointer and one key per split.
// A value held by several ids keeps a ValueIds in a side vector, exactly as ValueIdMap does, and goes back to a lone
// id when it shrinks to one.
//
// Ranges: the entries between two keys are one walk along the leaves; estimate_range() tells from the number of
// leaves a range spans (no walk) whether that walk is cheaper than the bit-sliced scan of every id.
//
// `Key` needs a total order (<, ==). No lock of its own: the owner's lock guards every access.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/bitmap_ops/add_ids.hpp"
#include "index/core/structures/id_filter/id_filter.hpp"
#include "index/core/structures/value_ids/gathered_ids.hpp"
#include "index/core/structures/value_ids/ordered_entry.hpp"
#include "index/core/structures/value_ids/value_ids.hpp"

namespace vostrel {

namespace ordered_id_map_detail {
// Stamps are unique over every map and every change, so a map emptied and refilled never repeats an earlier stamp.
inline std::atomic<uint64_t> last_stamp{0};
inline uint64_t next_stamp() noexcept { return last_stamp.fetch_add(1, std::memory_order_relaxed) + 1; }
}  // namespace ordered_id_map_detail

template <class Key>
class OrderedIdMap {
 public:
  // Changes with every change of the map (or of its stamp's holder): what is derived from the map and kept (an
  // id -> key column) is valid while the stamp it was made at still is.
  uint64_t stamp() const { return stamp_; }

  // Small enough that an insertion moves little (3 KiB at most), large enough that the directory stays short.
  static constexpr size_t LEAF_ENTRIES = 128;
  static constexpr size_t LEAF_GROWTH = 16;

  // Adds id under key (nothing when already there).
  void add(const Key& key, uint32_t id) {
    touch();
    if (leaves_.empty()) {
      leaves_.push_back(std::make_unique<Leaf>());
      firsts_.push_back(key);
    }
    size_t leaf_at = leaf_for(key);
    Leaf* leaf = leaves_[leaf_at].get();
    auto at = lower_bound(*leaf, key);
    if (at != leaf->end() && at->key() == key) {
      add_to_entry(*at, id);
      return;
    }
    if (leaf->size() == LEAF_ENTRIES) {
      if (leaf_at + 1 == leaves_.size() && at == leaf->end()) {
        // Appending past the last key (a rebuild in key order): a fresh leaf, so that full leaves stay full.
        leaves_.push_back(std::make_unique<Leaf>());
        firsts_.push_back(key);
        ++leaf_at;
      } else {
        split(leaf_at);
        if (!(key < firsts_[leaf_at + 1])) ++leaf_at;
      }
      leaf = leaves_[leaf_at].get();
      at = lower_bound(*leaf, key);
    }
    if (leaf->size() == leaf->capacity()) {
      // Grown a few entries at a time: leaves filled by keys in no order sit about two thirds full, and a doubled
      // vector would keep the rest as room (a third of a large map's memory).
      const auto offset = at - leaf->begin();
      leaf->reserve(std::min(LEAF_ENTRIES, leaf->size() + LEAF_GROWTH));
      at = leaf->begin() + offset;
    }
    leaf->insert(at, Entry(key, id));
    firsts_[leaf_at] = leaf->front().key();  // a key below every other lands at the front of the first leaf
    ++entries_;
    ++ids_;
  }

  // Adds pairs sorted by key (any order of ids within a key), each with `.key` and `.id`: one ordered pass over the
  // directory and the pairs. A leaf that receives pairs is merged with them in place (split into full leaves when it
  // overflows); a leaf that receives none is not touched at all, only its pointer moves to the new directory. So a
  // bulk insertion's numbers, which arrive in id order with their keys scattered over every leaf, cost a search-free
  // merge, and a batch of keys above every other (rising values) touches only the last leaf. A few pairs into a
  // large map take add() one by one.
  template <class Pairs>
  void add_sorted(const Pairs& pairs) {
    touch();
    const size_t count = pairs.size();
    if (count == 0) return;
    if (count * 32 < entries_) {
      for (const auto& pair : pairs) add(pair.key, pair.id);
      return;
    }
    // A leaf of s <= LEAF_ENTRIES entries given k pairs becomes at most 2 + k / LEAF_ENTRIES leaves: with this much
    // room reserved, placing leaves never allocates, so a failure leaves every leaf either merged or untouched.
    std::vector<Key> firsts;
    std::vector<std::unique_ptr<Leaf>> leaves;
    firsts.reserve(2 * std::max<size_t>(leaves_.size(), 1) + count / LEAF_ENTRIES + 1);
    leaves.reserve(firsts.capacity());
    if (leaves_.empty()) {
      // An empty map merges the pairs into one empty leaf (room made first, so the two lists stay in step).
      auto leaf = std::make_unique<Leaf>();
      firsts_.reserve(1);
      leaves_.reserve(1);
      firsts_.push_back(pairs[0].key);
      leaves_.push_back(std::move(leaf));
    }
    Leaf merged;
    size_t next = 0;
    size_t leaf_at = 0;
    try {
      for (; leaf_at < leaves_.size(); ++leaf_at) {
        size_t end = count;  // the last leaf takes every pair left
        if (leaf_at + 1 < leaves_.size()) {
          end = next;
          while (end < count && pairs[end].key < firsts_[leaf_at + 1]) ++end;
        }
        if (end == next) {
          firsts.push_back(firsts_[leaf_at]);
          leaves.push_back(std::move(leaves_[leaf_at]));
          continue;
        }
        merge_into(*leaves_[leaf_at], pairs, next, end, merged);
        next = end;
        place(leaves_[leaf_at], merged, leaves, firsts);
      }
    } catch (...) {
      // Every leaf is whole: the merged ones in the new directory, the others still here. Counts are taken again,
      // as a merge cut short may have counted entries it did not place.
      for (; leaf_at < leaves_.size(); ++leaf_at) {
        if (leaves_[leaf_at]->empty()) continue;  // the leaf an empty map started with
        firsts.push_back(leaves_[leaf_at]->front().key());
        leaves.push_back(std::move(leaves_[leaf_at]));
      }
      firsts_ = std::move(firsts);
      leaves_ = std::move(leaves);
      recount();
      throw;
    }
    firsts_ = std::move(firsts);
    leaves_ = std::move(leaves);
  }

  // Removes id from key's set; the entry goes with its last id. Absent keys and ids change nothing.
  void remove(const Key& key, uint32_t id) {
    touch();
    if (leaves_.empty()) return;
    const size_t leaf_at = leaf_for(key);
    Leaf& leaf = *leaves_[leaf_at];
    auto at = lower_bound(leaf, key);
    if (at == leaf.end() || !(at->key() == key)) return;
    if (!at->lone()) {
      ValueIds& ids = sets_[at->set()];
      const uint64_t before = ids.cardinality();
      ids.remove(id);
      const uint64_t left = ids.cardinality();
      ids_ -= before - left;
      if (left > 1) return;
      uint32_t last = 0;
      if (left == 1) ids.for_each([&](uint32_t only) { last = only; });
      sets_.give_back(at->set());
      at->make_lone(last);
      if (left == 1) return;
    } else {
      if (at->id() != id) return;
      --ids_;
    }
    leaf.erase(at);
    --entries_;
    if (leaf.empty()) {
      leaves_.erase(leaves_.begin() + static_cast<ptrdiff_t>(leaf_at));
      firsts_.erase(firsts_.begin() + static_cast<ptrdiff_t>(leaf_at));
      if (leaves_.empty()) *this = OrderedIdMap();
      return;
    }
    firsts_[leaf_at] = leaf.front().key();
  }

  // Number of ids under key (0 when absent).
  uint64_t count(const Key& key) const {
    const Entry* entry = find(key);
    if (entry == nullptr) return 0;
    return entry->lone() ? 1 : sets_[entry->set()].cardinality();
  }

  // Adds the ids under key into out; with `within`, only those it holds.
  void or_into(const Key& key, Bitmap& out, const Bitmap* within = nullptr) const {
    const Entry* entry = find(key);
    if (entry != nullptr) add_entry(*entry, out, within);
  }

  // Ids under the keys in [low, high], estimated from the leaves the range spans: the entries of those leaves (an
  // upper bound of the entries in range) times the mean ids per entry. Stops counting once past `cap`, so a broad
  // range costs two binary searches of the directory and a short walk.
  uint64_t estimate_range(const Key& low, const Key& high, uint64_t cap) const {
    if (entries_ == 0 || high < low) return 0;
    const size_t last = leaf_for(high);
    uint64_t entries = 0;
    for (size_t leaf_at = leaf_for(low); leaf_at <= last; ++leaf_at) {
      entries += leaves_[leaf_at]->size();
      if (entries > cap) break;  // ids >= entries: already past the cap
    }
    return (entries * ids_ + entries_ - 1) / entries_;
  }

  // Ids under the keys in [low, high], for planning a conjunction: counted when the range lies within a few leaves
  // (their entries, and the size of each side set), else the leaves it spans times the mean ids of a leaf, from the
  // directory alone (two binary searches, no leaf read: a broad range's leaves are a cache miss each). 0 only when
  // no key lies in the range.
  // Past `cap` the count stops (and is more than `cap`).
  uint64_t plan_range(const Key& low, const Key& high, uint64_t cap = UINT64_MAX) const {
    if (entries_ == 0 || high < low) return 0;
    if (const std::optional<uint64_t> counted = count_range_nearby(low, high, cap)) return *counted;
    const size_t spanned = leaf_for(high) - leaf_for(low) + 1;
    return (spanned * ids_ + leaves_.size() - 1) / leaves_.size();
  }

  // Ids under the keys in [low, high], counted exactly when the range lies within a few leaves (their entries and
  // the size of each side set); nothing for a broader range. estimate_range() counts whole leaves at the mean ids
  // of an entry: a range of a few values among many ids each (delays in minutes over a year of flights) looks as
  // large as its leaf, which may be a hundred times more. Stops once past `cap` (each side set's size is a read of
  // its own, a cache miss when cold), returning more than `cap`.
  std::optional<uint64_t> count_range_nearby(const Key& low, const Key& high, uint64_t cap = UINT64_MAX) const {
    if (entries_ == 0 || high < low) return uint64_t{0};
    const size_t first = leaf_for(low);
    const size_t last = leaf_for(high);
    if (last - first >= NEARBY_LEAVES) return std::nullopt;
    uint64_t ids = 0;
    for (size_t leaf_at = first; leaf_at <= last; ++leaf_at) {
      const Leaf& leaf = *leaves_[leaf_at];
      for (auto at = lower_bound(leaf, low); at != leaf.end() && !(high < at->key()); ++at) {
        fetch_sets_ahead(&*at, leaf.data() + leaf.size());
        ids += at->lone() ? 1 : sets_[at->set()].cardinality();
        if (ids > cap) return ids;
      }
    }
    return ids;
  }
  static constexpr size_t NEARBY_LEAVES = 8;

  // Adds the `count` ids under the keys in [low, high] (as count_range_nearby counted them) into out, through a bit
  // per id: each id sets its bit wherever it lies, and the bits read back in id order give the answer sorted with
  // no sort, for a range of many ids under few keys (delays in minutes over a year of flights). Merging each side
  // set into the answer's containers would rewrite them once per set; gathering and sorting costs more per id.
  void range_into_by_bits(const Key& low, const Key& high, uint64_t count, Bitmap& out) const {
    if (leaves_.empty() || high < low) return;
    std::vector<uint32_t> ids;
    ids.reserve(count);
    uint32_t largest = 0;
    visit_range(
        low, high, [&ids](uint32_t id) { ids.push_back(id); },
        [&ids](const ValueIds& set) { set.for_each([&ids](uint32_t id) { ids.push_back(id); }); });
    for (uint32_t id : ids) largest = std::max(largest, id);
    // The bits span the ids up to the largest: where they lie sparse (an index of few objects among many in the
    // process) the bit per id would cost more than the answer, and a sort takes its place.
    const size_t word_count = static_cast<size_t>(largest >> 6) + 1;
    if (word_count > 2 * ids.size() + 1024) {
      add_gathered_ids(ids, out, nullptr);
      return;
    }
    std::vector<uint64_t> words(word_count);
    for (uint32_t id : ids) words[id >> 6] |= uint64_t{1} << (id & 63);
    size_t at = 0;
    for (size_t word = 0; word < words.size(); ++word) {
      for (uint64_t bits = words[word]; bits != 0; bits &= bits - 1) {
        ids[at++] = static_cast<uint32_t>(word * 64 + static_cast<unsigned>(__builtin_ctzll(bits)));
      }
    }
    ids.resize(at);  // an id under two keys is set once
    add_ids(&out.roaring, ids.data(), ids.size());
  }

  // Adds the ids under every key in [low, high] into out; with `within`, only those it holds. The ids of side sets
  // held as vectors join the lone ids for the one sort and bulk add: ORed set by set, each small set's ids were
  // inserted into the answer's containers out of order (a shift of a container per set), and a range of a thousand
  // such sets cost more than its ten thousand lone ids.
  void range_into(const Key& low, const Key& high, Bitmap& out, const Bitmap* within = nullptr) const {
    if (leaves_.empty() || high < low) return;
    std::vector<uint32_t> lone;
    visit_range(
        low, high, [&lone](uint32_t id) { lone.push_back(id); },
        [&](const ValueIds& ids) {
          if (ids.cardinality() > ValueIds::LARGE_AT) {
            ids.or_into(out, within);  // held as a bitmap: ORed whole
          } else {
            ids.for_each([&lone](uint32_t id) { lone.push_back(id); });
          }
        });
    add_gathered_ids(lone, out, within);
  }

  // Keeps only the ids `kept` holds: one walk in key order narrows each entry in place (a side set as a whole) and
  // packs the survivors into full leaves, as a rebuild by appending would, without a search or a shift per entry.
  void keep_only(const IdFilter& kept) {
    touch();
    if (entries_ == 0) return;
    // Everything the walk allocates is reserved before it rewrites the first entry in place: a failure (memory)
    // leaves the map as it was. The survivors never need more leaves or sets than there are.
    std::vector<Key> firsts;
    std::vector<std::unique_ptr<Leaf>> leaves;
    ValueIdsPool sets;
    firsts.reserve(leaves_.size());
    leaves.reserve(leaves_.size());
    sets.reserve(sets_.capacity_in_use());
    size_t entries = 0;
    uint64_t ids = 0;
    size_t write_leaf = 0;  // survivors go back into the leaves already read (never ahead of the walk)
    size_t write_at = 0;
    for (size_t leaf_at = 0; leaf_at < leaves_.size(); ++leaf_at) {
      Leaf& leaf = *leaves_[leaf_at];
      for (size_t at = 0; at < leaf.size(); ++at) {
        // A side set's record sits in the pool and its ids in a block of their own: both fetched ahead, one hop per
        // stage, so the walk does not wait on each set.
        if (at + 2 * PREFETCH_AHEAD < leaf.size() && !leaf[at + 2 * PREFETCH_AHEAD].lone()) {
          __builtin_prefetch(&sets_[leaf[at + 2 * PREFETCH_AHEAD].set()]);
        }
        if (at + PREFETCH_AHEAD < leaf.size() && !leaf[at + PREFETCH_AHEAD].lone()) {
          sets_[leaf[at + PREFETCH_AHEAD].set()].prefetch();
        }
        Entry& entry = leaf[at];
        if (entry.lone()) {
          if (!kept.contains(entry.id())) continue;
          ++ids;
        } else {
          ValueIds& set = sets_[entry.set()];
          const uint64_t left = set.keep_only(kept);
          // A set given up is freed here, while its block is still in cache, not later with the old pool.
          if (left == 0) {
            set = ValueIds();
            continue;
          }
          ids += left;
          uint32_t lone_id = 0;
          const uint32_t number = sets.adopt_narrowed(std::move(set), lone_id);
          if (number == LONE) {
            entry.make_lone(lone_id);
          } else {
            entry.make_set(number);
          }
        }
        // An earlier leaf takes survivors up to its capacity only, so that no leaf grows during the walk (the leaves
        // read so far have room for every survivor read so far).
        if (write_at == LEAF_ENTRIES || write_at == leaves_[write_leaf]->capacity()) {
          ++write_leaf;
          write_at = 0;
        }
        // The write trails the read: into an earlier leaf (grown back to full when it was not), or into this one
        // at or before the entry being read.
        Leaf& into = *leaves_[write_leaf];
        if (write_at < into.size()) {
          into[write_at] = entry;
        } else {
          into.push_back(entry);
        }
        ++write_at;
        ++entries;
      }
      // Leaves wholly behind the write position are final: trimmed, they join the new list.
      while (leaves.size() < write_leaf) {
        const Leaf& done = *leaves_[leaves.size()];
        firsts.push_back(done.front().key());
        leaves.push_back(std::move(leaves_[leaves.size()]));
      }
    }
    if (write_at > 0) {
      Leaf& last = *leaves_[write_leaf];
      last.resize(write_at);
      if (last.capacity() > 2 * last.size()) last.shrink_to_fit();
      firsts.push_back(last.front().key());
      leaves.push_back(std::move(leaves_[write_leaf]));
    }
    firsts_ = std::move(firsts);
    leaves_ = std::move(leaves);  // the leaves not reused go with the old list
    sets_ = std::move(sets);
    entries_ = entries;
    ids_ = ids;
    if (entries_ == 0) *this = OrderedIdMap();
  }

  void keep_only(const Bitmap& kept) { keep_only(IdFilter(kept)); }

  // Adds every pair of `other` whose id `only` holds (every pair without it): both maps' entries merged in key order
  // into leaves packed by appending, one pass over each; a key both hold gets the union of the two sets at once.
  void merge_from(const OrderedIdMap& other, const Bitmap* only) {
    touch();
    if (other.entries_ == 0) return;
    if (other.ids_ * 32 < entries_) {
      // A few pairs into a large map go in one by one, as in add_sorted: rebuilding every leaf would make merging
      // many small indexes into one cost the large map's size each time.
      other.for_each([&](const Key& key, uint32_t id) {
        if (only == nullptr || only->contains(id)) add(key, id);
      });
      return;
    }
    std::optional<IdFilter> filter;
    if (only != nullptr) filter.emplace(*only);
    const IdFilter* keep = filter ? &*filter : nullptr;
    Packer merged;
    // This map's own sets move into the new one; on failure (MemoryError) they move back, without the other map's
    // ids that joined them (incoming ids: never this map's own), and the map is as it was.
    std::vector<MovedSet> moved;
    moved.reserve(sets_.size());
    try {
      merge_entries(other, keep, merged, moved);
    } catch (...) {
      for (const MovedSet& set : moved) {
        ValueIds& back = sets_[set.mine] = std::move(merged.sets[set.merged]);
        const auto take_out = [&](uint32_t id) {
          if (keep == nullptr || keep->contains(id)) back.remove(id);
        };
        if (set.joined_set != 0) {
          other.sets_[set.joined_set].for_each(take_out);
        } else if (set.joined_id != 0) {
          take_out(set.joined_id);
        }
      }
      throw;
    }
    merged.install(*this);
  }

 private:
  // A set of this map moved into a merge, with what of the other map's joined it there (a set number or a lone id;
  // 0 for nothing: ids are never 0).
  struct MovedSet {
    uint32_t mine;
    uint32_t merged;
    uint32_t joined_set = 0;
    uint32_t joined_id = 0;
  };

  template <class MergedMap>
  void merge_entries(const OrderedIdMap& other, const IdFilter* keep, MergedMap& merged,
                     std::vector<MovedSet>& moved) {
    EntryWalk mine(*this);
    EntryWalk theirs(other);
    while (!mine.done() || !theirs.done()) {
      const bool take_mine = theirs.done() || (!mine.done() && mine.entry().key() < theirs.entry().key());
      const bool take_theirs = mine.done() || (!theirs.done() && theirs.entry().key() < mine.entry().key());
      if (take_mine) {
        Entry& entry = mine.entry();
        if (entry.lone()) {
          merged.append_lone(entry.key(), entry.id());
        } else {
          const uint32_t number = merged.adopt_set(std::move(sets_[entry.set()]));
          moved.push_back(MovedSet{entry.set(), number});  // room reserved: cannot fail
          merged.append_adopted(entry.key(), number);
        }
        mine.next();
        continue;
      }
      const Entry& incoming = theirs.entry();
      if (take_theirs) {
        if (incoming.lone()) {
          if (keep == nullptr || keep->contains(incoming.id())) merged.append_lone(incoming.key(), incoming.id());
        } else {
          ValueIds added;
          added.add_kept(other.sets_[incoming.set()], keep);
          merged.append_set(incoming.key(), std::move(added));
        }
      } else {  // both hold the key
        Entry& entry = mine.entry();
        if (entry.lone()) {
          ValueIds ids;
          ids.add(entry.id());
          if (incoming.lone()) {
            if (keep == nullptr || keep->contains(incoming.id())) ids.add(incoming.id());
          } else {
            ids.add_kept(other.sets_[incoming.set()], keep);
          }
          merged.append_set(entry.key(), std::move(ids));
        } else {
          // Noted before the other map's ids join, so that a failure from here takes them out again.
          const uint32_t number = merged.adopt_set(std::move(sets_[entry.set()]));
          moved.push_back(incoming.lone() ? MovedSet{entry.set(), number, 0, incoming.id()}
                                          : MovedSet{entry.set(), number, incoming.set(), 0});
          ValueIds& ids = merged.sets[number];
          if (incoming.lone()) {
            if (keep == nullptr || keep->contains(incoming.id())) ids.add(incoming.id());
          } else {
            ids.add_kept(other.sets_[incoming.set()], keep);
          }
          merged.append_adopted(entry.key(), number);
        }
        mine.next();
      }
      theirs.next();
    }
  }

 public:
  // Number of distinct keys.
  size_t size() const { return entries_; }
  bool empty() const { return entries_ == 0; }
  // Number of ids over all keys.
  uint64_t id_count() const { return ids_; }

  // Calls visit(key, lone_id, set) per key in key order, descending when `descending`: `set` is the key's ids, or
  // null when `lone_id` alone holds it. Stops when visit returns false: the extremes cost what reaching them costs.
  // A side set is two hops away (its record in the pool, then its ids): both fetched some entries ahead, as in
  // keep_only, so a long walk does not wait on each set.
  template <class F>
  void walk_entries(bool descending, F&& visit) const {
    const size_t leaves = leaves_.size();
    for (size_t step = 0; step < leaves; ++step) {
      const Leaf& leaf = *leaves_[descending ? leaves - 1 - step : step];
      const size_t size = leaf.size();
      for (size_t k = 0; k < size; ++k) {
        const auto at = [&](size_t ahead) -> const Entry* {
          if (k + ahead >= size) return nullptr;
          return &leaf[descending ? size - 1 - (k + ahead) : k + ahead];
        };
        if (const Entry* far = at(2 * PREFETCH_AHEAD); far != nullptr && !far->lone()) {
          __builtin_prefetch(&sets_[far->set()]);
        }
        if (const Entry* near = at(PREFETCH_AHEAD); near != nullptr && !near->lone()) sets_[near->set()].prefetch();
        const Entry& entry = *at(0);
        if (!visit(entry.key(), entry.id(), entry.lone() ? nullptr : &sets_[entry.set()])) return;
      }
    }
  }

  // Calls f(key, id) for every stored pair, in key order (ids of one key ascending).
  template <class F>
  void for_each(F&& f) const {
    for (const std::unique_ptr<Leaf>& leaf : leaves_) {
      for (const Entry& entry : *leaf) {
        if (entry.lone()) {
          f(entry.key(), entry.id());
        } else {
          sets_[entry.set()].for_each([&](uint32_t id) { f(entry.key(), id); });
        }
      }
    }
  }

 private:
  void touch() noexcept { stamp_ = ordered_id_map_detail::next_stamp(); }

  static constexpr uint32_t LONE = 0;  // the set number adopt_narrowed gives for a set of one
  static constexpr size_t PREFETCH_AHEAD = 8;

  using Entry = OrderedEntry<Key>;
  using Leaf = std::vector<Entry>;

  // Calls lone(id) for each lone id under the keys in [low, high], then set(ids) for each side set there, in two
  // passes: the entries in key order first, asking for each side set's record and listing it, then the listed sets,
  // asking for the ids of the one some places ahead. A set is two hops from its entry (its record in the pool, then
  // its ids), each a cache miss when cold: asked for within one walk, the few lone entries between sets left too
  // little time for either to arrive. Each leaf asks for the next one's entries, and for the leaf after that's
  // record (leaves are blocks of their own).
  template <class Lone, class Set>
  void visit_range(const Key& low, const Key& high, Lone&& lone, Set&& set) const {
    std::vector<uint32_t> listed;
    for (size_t leaf_at = leaf_for(low); leaf_at < leaves_.size(); ++leaf_at) {
      if (leaf_at + 2 < leaves_.size()) __builtin_prefetch(leaves_[leaf_at + 2].get());
      if (leaf_at + 1 < leaves_.size()) __builtin_prefetch(leaves_[leaf_at + 1]->data());
      const Leaf& leaf = *leaves_[leaf_at];
      auto at = lower_bound(leaf, low);
      for (; at != leaf.end() && !(high < at->key()); ++at) {
        if (at->lone()) {
          lone(at->id());
        } else {
          __builtin_prefetch(&sets_[at->set()]);
          listed.push_back(at->set());
        }
      }
      if (at != leaf.end()) break;  // past `high`
    }
    for (size_t k = 0; k < listed.size(); ++k) {
      if (k + PREFETCH_AHEAD < listed.size()) sets_[listed[k + PREFETCH_AHEAD]].prefetch();
      set(sets_[listed[k]]);
    }
  }

  // Asks for the side sets of the entries some places after `at` (before `end`, its leaf's end): a set is two hops
  // away (its record in the pool, then its ids), each a cache miss when cold, so a walk over the entries of a range
  // would otherwise wait on every set in turn.
  void fetch_sets_ahead(const Entry* at, const Entry* end) const {
    if (end - at > static_cast<ptrdiff_t>(2 * PREFETCH_AHEAD)) {
      const Entry& far = at[2 * PREFETCH_AHEAD];
      if (!far.lone()) __builtin_prefetch(&sets_[far.set()]);
    }
    if (end - at > static_cast<ptrdiff_t>(PREFETCH_AHEAD)) {
      const Entry& near = at[PREFETCH_AHEAD];
      if (!near.lone()) sets_[near.set()].prefetch();
    }
  }

  static typename Leaf::iterator lower_bound(Leaf& leaf, const Key& key) {
    return std::lower_bound(leaf.begin(), leaf.end(), key, [](const Entry& e, const Key& k) { return e.key() < k; });
  }
  static typename Leaf::const_iterator lower_bound(const Leaf& leaf, const Key& key) {
    return std::lower_bound(leaf.begin(), leaf.end(), key, [](const Entry& e, const Key& k) { return e.key() < k; });
  }

  // The leaf whose range holds key: the last leaf starting at or before it (the first leaf for smaller keys).
  size_t leaf_for(const Key& key) const {
    auto after = std::upper_bound(firsts_.begin(), firsts_.end(), key);
    return after == firsts_.begin() ? 0 : static_cast<size_t>(after - firsts_.begin()) - 1;
  }

  const Entry* find(const Key& key) const {
    if (leaves_.empty()) return nullptr;
    const Leaf& leaf = *leaves_[leaf_for(key)];
    auto at = lower_bound(leaf, key);
    return at != leaf.end() && at->key() == key ? &*at : nullptr;
  }

  void add_entry(const Entry& entry, Bitmap& out, const Bitmap* within) const {
    if (entry.lone()) {
      if (within == nullptr || within->contains(entry.id())) out.add(entry.id());
      return;
    }
    sets_[entry.set()].or_into(out, within);
  }

 private:
  // The entries of `leaf` and pairs[begin, end) in key order, into `merged` (the leaf itself is not changed; side
  // sets it shares with `merged` gain the pairs' ids).
  template <class Pairs>
  void merge_into(const Leaf& leaf, const Pairs& pairs, size_t begin, size_t end, Leaf& merged) {
    merged.clear();
    merged.reserve(leaf.size() + (end - begin));
    size_t next = begin;
    const auto append_incoming = [&] {
      const Key key = pairs[next].key;
      merged.push_back(Entry(key, pairs[next++].id));
      ++entries_;
      ++ids_;
      for (; next < end && pairs[next].key == key; ++next) add_to_entry(merged.back(), pairs[next].id);
    };
    for (const Entry& entry : leaf) {
      while (next < end && pairs[next].key < entry.key()) append_incoming();
      merged.push_back(entry);
      for (; next < end && pairs[next].key == entry.key(); ++next) add_to_entry(merged.back(), pairs[next].id);
    }
    while (next < end) append_incoming();
  }

  // Puts `merged` back into `leaf` (split into equal leaves of at most LEAF_ENTRIES when it overflows) and moves
  // them to the new directory, which has room for them. Should an allocation fail, `leaf` stays as it was.
  void place(std::unique_ptr<Leaf>& leaf, const Leaf& merged, std::vector<std::unique_ptr<Leaf>>& leaves,
             std::vector<Key>& firsts) {
    const size_t parts = (merged.size() + LEAF_ENTRIES - 1) / LEAF_ENTRIES;
    const size_t per_part = (merged.size() + parts - 1) / parts;
    std::vector<std::unique_ptr<Leaf>> more;
    more.reserve(parts - 1);
    for (size_t part = 1; part < parts; ++part) {
      const auto from = merged.begin() + static_cast<ptrdiff_t>(part * per_part);
      const auto to = merged.begin() + static_cast<ptrdiff_t>(std::min(merged.size(), (part + 1) * per_part));
      more.push_back(std::make_unique<Leaf>(from, to));
    }
    leaf->assign(merged.begin(), merged.begin() + static_cast<ptrdiff_t>(std::min(merged.size(), per_part)));
    firsts.push_back(leaf->front().key());
    leaves.push_back(std::move(leaf));
    for (std::unique_ptr<Leaf>& part : more) {
      firsts.push_back(part->front().key());
      leaves.push_back(std::move(part));
    }
  }

  // Counts the entries and ids again from the leaves.
  void recount() {
    entries_ = 0;
    ids_ = 0;
    for (const std::unique_ptr<Leaf>& leaf : leaves_) {
      entries_ += leaf->size();
      for (const Entry& entry : *leaf) ids_ += entry.lone() ? 1 : sets_[entry.set()].cardinality();
    }
  }

  // Adds id to an entry already in the map (nothing when it holds it): a lone id becomes a side set.
  void add_to_entry(Entry& entry, uint32_t id) {
    if (entry.lone()) {
      if (entry.id() == id) return;
      const uint32_t number = sets_.take();
      sets_[number].add(entry.id());
      entry.make_set(number);
    }
    ValueIds& ids = sets_[entry.set()];
    const uint64_t before = ids.cardinality();
    ids.add(id);
    ids_ += ids.cardinality() - before;
  }

  // The entries of a map in key order, leaf by leaf.
  template <class Map>
  class EntryWalk {
   public:
    explicit EntryWalk(Map& map) : map_(map) {}
    bool done() const { return leaf_ == map_.leaves_.size(); }
    auto& entry() const { return (*map_.leaves_[leaf_])[at_]; }
    void next() {
      if (++at_ == map_.leaves_[leaf_]->size()) {
        ++leaf_;
        at_ = 0;
      }
    }

   private:
    Map& map_;
    size_t leaf_ = 0;
    size_t at_ = 0;
  };

  // A map built by appending entries in ascending key order: full leaves, a compact pool of side sets.
  struct Packer {
    std::vector<Key> firsts;
    std::vector<std::unique_ptr<Leaf>> leaves;
    ValueIdsPool sets;
    size_t entries = 0;
    uint64_t ids = 0;

    void append_lone(const Key& key, uint32_t id) { append(Entry(key, id)); }
    // A set of one becomes a lone id; an empty one adds nothing.
    void append_set(const Key& key, ValueIds&& set) {
      const uint64_t count = set.cardinality();
      if (count == 0) return;
      if (count == 1) {
        append_lone(key, set.first());
        return;
      }
      ids += count - 1;  // append counts one
      append(Entry::with_set(key, sets.adopt(std::move(set))));
    }
    // A set of two or more ids in two steps, so that a caller can note its number in between.
    uint32_t adopt_set(ValueIds&& set) { return sets.adopt(std::move(set)); }
    void append_adopted(const Key& key, uint32_t number) {
      ids += sets[number].cardinality() - 1;  // append counts one
      append(Entry::with_set(key, number));
    }
    void append(const Entry& entry) {
      if (leaves.empty() || leaves.back()->size() == LEAF_ENTRIES) {
        leaves.push_back(std::make_unique<Leaf>());
        leaves.back()->reserve(LEAF_ENTRIES);
        firsts.push_back(entry.key());
      }
      leaves.back()->push_back(entry);
      ++entries;
      ++ids;
    }
    void install(OrderedIdMap& map) {
      if (!leaves.empty() && leaves.back()->capacity() > 2 * leaves.back()->size()) leaves.back()->shrink_to_fit();
      map.firsts_ = std::move(firsts);
      map.leaves_ = std::move(leaves);
      map.sets_ = std::move(sets);
      map.entries_ = entries;
      map.ids_ = ids;
    }
  };

  // Moves the upper half of a full leaf into a new leaf right after it.
  void split(size_t leaf_at) {
    Leaf& full = *leaves_[leaf_at];
    auto upper = std::make_unique<Leaf>(full.begin() + static_cast<ptrdiff_t>(LEAF_ENTRIES / 2), full.end());
    const Key first = upper->front().key();
    leaves_.insert(leaves_.begin() + static_cast<ptrdiff_t>(leaf_at) + 1, std::move(upper));
    firsts_.insert(firsts_.begin() + static_cast<ptrdiff_t>(leaf_at) + 1, first);
    full.resize(LEAF_ENTRIES / 2);
    full.shrink_to_fit();
  }


  std::vector<Key> firsts_;                    // first key of each leaf, ascending
  std::vector<std::unique_ptr<Leaf>> leaves_;  // never empty leaves
  ValueIdsPool sets_;
  size_t entries_ = 0;
  uint64_t ids_ = 0;
  uint64_t stamp_ = ordered_id_map_detail::next_stamp();
};

}  // namespace vostrel
