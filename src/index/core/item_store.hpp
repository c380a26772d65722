// ItemStore: an index's records by object id, in pages allocated only where the index holds objects.
//
// Ids are process-wide, so an index holding a few objects may see ids anywhere in the live range. The store keeps a
// directory of leaves (one pointer per 128K ids up to the highest id stored), each leaf a table of 1024 page
// references, and allocates a page for 128 ids only when one of them is stored. A page goes when its last item leaves,
// a leaf when its last page does. A one-object index among a million live objects costs about 16 KiB (its leaf), a
// full index about one slot per object, and even an id near 2^32 needs only a 256 KiB directory.
//
// Pages come in two forms. A page at most a quarter full keeps a bit per id and only the items present, packed in id
// order, so an index of a sparse subset (a view's rebase, every eighth object) pays per object it holds, not per id
// its pages span. A fuller page keeps a slot per id at a fixed place, so that a lookup's address never waits on the
// page's bits: walking a large answer keeps many lookups in flight, where a packed page's count of the bits below
// would make each wait for its page. A page turns direct past PACKED_MAX items and packed again at half that.
//
// No lock of its own: the owner guards it (RwLocked in IndexAPI).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace vostrel {

template <class Item>
class ItemStore {
 public:
  static constexpr unsigned PAGE_BITS = 7;
  static constexpr uint32_t PAGE_SLOTS = 1u << PAGE_BITS;
  static constexpr unsigned LEAF_BITS = 10;
  static constexpr uint32_t LEAF_PAGES = 1u << LEAF_BITS;
  // Items a packed page holds at most: a quarter of its ids, whose items then take a quarter of a direct page's room.
  static constexpr uint32_t PACKED_MAX = PAGE_SLOTS / 4;

  // The item stored under `id`, or null. Valid until the next put/take.
  const Item* find(uint32_t id) const {
    const PageRef* ref = ref_of(id);
    if (ref == nullptr) return nullptr;
    const uint32_t slot = id & (PAGE_SLOTS - 1);
    if (const DirectPage* direct = ref->direct.get()) return direct->has(slot) ? &direct->slots[slot] : nullptr;
    if (const PackedPage* packed = ref->packed.get()) {
      return packed->has(slot) ? &packed->items[packed->rank(slot)] : nullptr;
    }
    return nullptr;
  }
  bool contains(uint32_t id) const { return find(id) != nullptr; }

  // Stores `item` under `id` and returns what was there (a default Item when nothing was), so the caller can drop
  // it after unlocking. If an allocation fails nothing is stored and std::bad_alloc propagates.
  Item put(uint32_t id, Item item) {
    const size_t leaf_at = id >> (PAGE_BITS + LEAF_BITS);
    if (leaf_at >= leaves_.size()) leaves_.resize(leaf_at + 1);
    std::unique_ptr<Leaf>& leaf = leaves_[leaf_at];
    if (!leaf) leaf = std::make_unique<Leaf>();
    PageRef& ref = leaf->pages[(id >> PAGE_BITS) & (LEAF_PAGES - 1)];
    if (!ref.direct && !ref.packed) {
      try {
        ref.packed = std::make_unique<PackedPage>();
      } catch (...) {
        if (leaf->count == 0) leaf.reset();  // no leaf without pages
        throw;
      }
      ++leaf->count;
    }
    const uint32_t slot = id & (PAGE_SLOTS - 1);
    if (DirectPage* direct = ref.direct.get()) {
      if (!direct->has(slot)) {
        direct->mark(slot);
        ++size_;
      }
      return std::exchange(direct->slots[slot], std::move(item));
    }
    PackedPage& packed = *ref.packed;
    const size_t at = packed.rank(slot);
    if (packed.has(slot)) return std::exchange(packed.items[at], std::move(item));
    if (packed.items.size() == PACKED_MAX) {
      // A slot per id from here on. The page is made first, so a failed allocation changes nothing.
      std::unique_ptr<DirectPage> direct = std::make_unique<DirectPage>();
      packed.for_each([&](uint32_t held, Item& moved) { direct->slots[held] = std::move(moved); });
      direct->present = packed.present;
      direct->count = static_cast<uint32_t>(packed.items.size());
      direct->mark(slot);
      direct->slots[slot] = std::move(item);
      ref.packed.reset();
      ref.direct = std::move(direct);
      ++size_;
      return Item();
    }
    // Room first (a packed page grows by a few slots at a time): the insertion itself then only moves items, which
    // cannot fail, so a failed allocation changes nothing.
    if (packed.items.size() == packed.items.capacity()) {
      packed.items.reserve(std::min<size_t>(PACKED_MAX, packed.items.size() + GROWTH));
    }
    packed.items.insert(packed.items.begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
    packed.mark(slot);
    ++size_;
    return Item();
  }

  // Removes the item under `id` and returns it (a default Item when there was none). An emptied page is freed,
  // and so is a leaf left without pages.
  Item take(uint32_t id) {
    const size_t leaf_at = id >> (PAGE_BITS + LEAF_BITS);
    if (leaf_at >= leaves_.size() || !leaves_[leaf_at]) return Item();
    PageRef& ref = leaves_[leaf_at]->pages[(id >> PAGE_BITS) & (LEAF_PAGES - 1)];
    const uint32_t slot = id & (PAGE_SLOTS - 1);
    Item taken;
    if (DirectPage* direct = ref.direct.get()) {
      if (!direct->has(slot)) return Item();
      taken = std::exchange(direct->slots[slot], Item());
      direct->unmark(slot);
    } else if (PackedPage* packed = ref.packed.get()) {
      if (!packed->has(slot)) return Item();
      const auto at = packed->items.begin() + static_cast<std::ptrdiff_t>(packed->rank(slot));
      taken = std::move(*at);
      packed->items.erase(at);
      packed->unmark(slot);
    } else {
      return Item();
    }
    --size_;
    settle(leaf_at, ref);
    return taken;
  }

  // take() for each of `ids` (ascending), handing every item found to `sink(Item&&)`, which must not throw: the ids
  // of one page share one lookup of it and one pass over its items, which makes taking most of a large store a walk
  // over its pages.
  template <class Sink>
  void take_ascending(std::span<const uint32_t> ids, Sink&& sink) {
    for (size_t at = 0; at < ids.size();) {
      const uint32_t page_key = ids[at] >> PAGE_BITS;
      size_t end = at + 1;
      while (end < ids.size() && (ids[end] >> PAGE_BITS) == page_key) ++end;
      const size_t leaf_at = page_key >> LEAF_BITS;
      if (leaf_at < leaves_.size() && leaves_[leaf_at]) {
        PageRef& ref = leaves_[leaf_at]->pages[page_key & (LEAF_PAGES - 1)];
        if (DirectPage* direct = ref.direct.get()) {
          for (size_t pos = at; pos < end; ++pos) {
            const uint32_t slot = ids[pos] & (PAGE_SLOTS - 1);
            if (!direct->has(slot)) continue;
            sink(std::exchange(direct->slots[slot], Item()));
            direct->unmark(slot);
            --size_;
          }
          settle(leaf_at, ref);
        } else if (PackedPage* packed = ref.packed.get()) {
          // One pass over the page: the items taken go to `sink`, the others close up behind them.
          std::array<uint64_t, WORDS> taking{};
          for (size_t pos = at; pos < end; ++pos) {
            const uint32_t slot = ids[pos] & (PAGE_SLOTS - 1);
            taking[slot / 64] |= uint64_t{1} << (slot % 64);
          }
          size_t read = 0;
          size_t kept = 0;
          for (uint32_t word = 0; word < WORDS; ++word) {
            for (uint64_t bits = packed->present[word]; bits != 0; bits &= bits - 1, ++read) {
              const uint64_t bit = bits & (~bits + 1);
              if ((taking[word] & bit) == 0) {
                if (kept != read) packed->items[kept] = std::move(packed->items[read]);
                ++kept;
                continue;
              }
              sink(std::move(packed->items[read]));
              packed->present[word] &= ~bit;
              --size_;
            }
          }
          packed->items.erase(packed->items.begin() + static_cast<std::ptrdiff_t>(kept), packed->items.end());
          settle(leaf_at, ref);
        }
      }
      at = end;
    }
  }

  // Number of stored items.
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Pages currently allocated, and those of them with a slot per id (for tests and memory accounting).
  size_t page_count() const {
    size_t count = 0;
    for (const auto& leaf : leaves_) count += leaf ? leaf->count : 0;
    return count;
  }
  size_t direct_page_count() const {
    size_t count = 0;
    for (const auto& leaf : leaves_) {
      if (!leaf) continue;
      for (const PageRef& ref : leaf->pages) count += ref.direct ? 1 : 0;
    }
    return count;
  }

  // Calls f(id, const Item&) for every stored item in ascending id order.
  template <class F>
  void for_each(F&& f) const {
    for (size_t leaf_at = 0; leaf_at < leaves_.size(); ++leaf_at) {
      if (!leaves_[leaf_at]) continue;
      const Leaf& leaf = *leaves_[leaf_at];
      for (uint32_t page_at = 0; page_at < LEAF_PAGES; ++page_at) {
        const PageRef& ref = leaf.pages[page_at];
        const uint32_t first = static_cast<uint32_t>(((leaf_at << LEAF_BITS) | page_at) << PAGE_BITS);
        if (const DirectPage* direct = ref.direct.get()) {
          for_each_bit(direct->present, [&](uint32_t slot) { f(first | slot, direct->slots[slot]); });
        } else if (const PackedPage* packed = ref.packed.get()) {
          size_t at = 0;
          for_each_bit(packed->present, [&](uint32_t slot) { f(first | slot, packed->items[at++]); });
        }
      }
    }
  }

 private:
  static constexpr uint32_t WORDS = PAGE_SLOTS / 64;
  using Bits = std::array<uint64_t, WORDS>;

  // Slots a packed page grows by: two steps take it to PACKED_MAX.
  static constexpr size_t GROWTH = PACKED_MAX / 2;

  template <class F>
  static void for_each_bit(const Bits& bits, F&& f) {
    for (uint32_t word = 0; word < WORDS; ++word) {
      for (uint64_t left = bits[word]; left != 0; left &= left - 1) {
        f(word * 64 + static_cast<uint32_t>(std::countr_zero(left)));
      }
    }
  }
  static bool has_bit(const Bits& bits, uint32_t slot) { return ((bits[slot / 64] >> (slot % 64)) & 1) != 0; }

  struct DirectPage {
    std::array<Item, PAGE_SLOTS> slots{};
    Bits present{};
    uint32_t count = 0;

    bool has(uint32_t slot) const { return has_bit(present, slot); }
    void mark(uint32_t slot) {
      present[slot / 64] |= uint64_t{1} << (slot % 64);
      ++count;
    }
    void unmark(uint32_t slot) {
      present[slot / 64] &= ~(uint64_t{1} << (slot % 64));
      --count;
    }
  };

  struct PackedPage {
    Bits present{};
    std::vector<Item> items;  // the present ids' items, in id order

    bool has(uint32_t slot) const { return has_bit(present, slot); }
    // Where `slot`'s item is (or would go) in `items`: the number of present slots below it.
    size_t rank(uint32_t slot) const {
      size_t below = 0;
      for (uint32_t word = 0; word < slot / 64; ++word) below += static_cast<size_t>(std::popcount(present[word]));
      return below + static_cast<size_t>(std::popcount(present[slot / 64] & ((uint64_t{1} << (slot % 64)) - 1)));
    }
    void mark(uint32_t slot) { present[slot / 64] |= uint64_t{1} << (slot % 64); }
    void unmark(uint32_t slot) { present[slot / 64] &= ~(uint64_t{1} << (slot % 64)); }
    // Calls f(slot, Item&) for every item, in id order.
    template <class F>
    void for_each(F&& f) {
      size_t at = 0;
      for_each_bit(present, [&](uint32_t slot) { f(slot, items[at++]); });
    }
  };

  // At most one of the two is set.
  struct PageRef {
    std::unique_ptr<DirectPage> direct;
    std::unique_ptr<PackedPage> packed;
  };

  struct Leaf {
    std::array<PageRef, LEAF_PAGES> pages{};
    uint32_t count = 0;  // pages allocated
  };

  // After items left a page: an emptied page goes (and a leaf left without pages), a direct page down to half of
  // PACKED_MAX is packed again, a packed one gives back room its items left. Never fails: a refused allocation keeps
  // the page as it is.
  void settle(size_t leaf_at, PageRef& ref) {
    if (DirectPage* direct = ref.direct.get()) {
      if (direct->count == 0) {
        ref.direct.reset();  // every slot holds a default Item: nothing to release
        drop_page(leaf_at);
      } else if (direct->count <= PACKED_MAX / 2) {
        try {
          std::unique_ptr<PackedPage> packed = std::make_unique<PackedPage>();
          packed->items.reserve(direct->count);
          packed->present = direct->present;
          for_each_bit(direct->present,
                       [&](uint32_t slot) { packed->items.push_back(std::move(direct->slots[slot])); });
          ref.direct.reset();
          ref.packed = std::move(packed);
        } catch (const std::bad_alloc&) {
          // Stays direct: the moves above only run once every allocation succeeded.
        }
      }
      return;
    }
    PackedPage& packed = *ref.packed;
    if (packed.items.empty()) {
      ref.packed.reset();
      drop_page(leaf_at);
    } else if (packed.items.capacity() - packed.items.size() >= 2 * GROWTH) {
      packed.items.shrink_to_fit();
    }
  }

  void drop_page(size_t leaf_at) {
    if (--leaves_[leaf_at]->count == 0) {
      leaves_[leaf_at].reset();
      while (!leaves_.empty() && !leaves_.back()) leaves_.pop_back();
    }
  }

  const PageRef* ref_of(uint32_t id) const {
    const size_t leaf_at = id >> (PAGE_BITS + LEAF_BITS);
    if (leaf_at >= leaves_.size() || !leaves_[leaf_at]) return nullptr;
    return &leaves_[leaf_at]->pages[(id >> PAGE_BITS) & (LEAF_PAGES - 1)];
  }

  std::vector<std::unique_ptr<Leaf>> leaves_;
  size_t size_ = 0;
};

}  // namespace vostrel
