// ItemStore: an index's records by object id, in pages allocated only where the index holds objects.
//
// Ids are process-wide, so an index holding a few objects may see ids anywhere in the live range. The store keeps a
// directory of leaves (one pointer per 128K ids up to the highest id stored), each leaf a table of 1024 page
// pointers, and allocates a page for 128 ids only when one of them is stored. A page keeps a bit per id and only the
// items present, packed in id order: an index of every other object (objects made with a nested one, a view's
// subset) pays per object it holds, not per id its pages span. A page goes when its last item leaves, a leaf when
// its last page does. A one-object index among a million live objects costs about 8 KiB (its leaf), a full index
// about one slot per object, and even an id near 2^32 needs only a 256 KiB directory. Lookups are two indirections,
// a bit test and a count of the bits below, so walking a result bitmap in ascending order stays a sequential scan.
//
// No lock of its own: the owner guards it (RwLocked in IndexAPI).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
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

  // The item stored under `id`, or null. Valid until the next put/take.
  const Item* find(uint32_t id) const {
    const Page* p = page_of(id);
    if (p == nullptr) return nullptr;
    const uint32_t slot = id & (PAGE_SLOTS - 1);
    return p->has(slot) ? &p->items[p->rank(slot)] : nullptr;
  }
  bool contains(uint32_t id) const { return find(id) != nullptr; }

  // Stores `item` under `id` and returns what was there (a default Item when nothing was), so the caller can drop
  // it after unlocking. If an allocation fails nothing is stored and std::bad_alloc propagates.
  Item put(uint32_t id, Item item) {
    const size_t leaf_at = id >> (PAGE_BITS + LEAF_BITS);
    if (leaf_at >= leaves_.size()) leaves_.resize(leaf_at + 1);
    std::unique_ptr<Leaf>& leaf = leaves_[leaf_at];
    if (!leaf) leaf = std::make_unique<Leaf>();
    std::unique_ptr<Page>& page = leaf->pages[(id >> PAGE_BITS) & (LEAF_PAGES - 1)];
    if (!page) {
      try {
        page = std::make_unique<Page>();
      } catch (...) {
        if (leaf->count == 0) leaf.reset();  // no leaf without pages
        throw;
      }
      ++leaf->count;
    }
    const uint32_t slot = id & (PAGE_SLOTS - 1);
    const size_t at = page->rank(slot);
    if (page->has(slot)) return std::exchange(page->items[at], std::move(item));
    // Room first (a page grows by a few slots at a time, never past its 128): the insertion itself then only moves
    // items, which cannot fail, so a failed allocation changes nothing.
    if (page->items.size() == page->items.capacity()) {
      page->items.reserve(std::min<size_t>(PAGE_SLOTS, page->items.size() + GROWTH));
    }
    page->items.insert(page->items.begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
    page->mark(slot);
    ++size_;
    return Item();
  }

  // Removes the item under `id` and returns it (a default Item when there was none). An emptied page is freed,
  // and so is a leaf left without pages.
  Item take(uint32_t id) {
    const size_t leaf_at = id >> (PAGE_BITS + LEAF_BITS);
    if (leaf_at >= leaves_.size() || !leaves_[leaf_at]) return Item();
    std::unique_ptr<Page>& page = leaves_[leaf_at]->pages[(id >> PAGE_BITS) & (LEAF_PAGES - 1)];
    const uint32_t slot = id & (PAGE_SLOTS - 1);
    if (!page || !page->has(slot)) return Item();
    Item taken = take_slot(*page, slot);
    free_if_empty(leaf_at, page);
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
        std::unique_ptr<Page>& page = leaves_[leaf_at]->pages[page_key & (LEAF_PAGES - 1)];
        if (page) {
          // One pass over the page: the items taken go to `sink`, the others close up behind them.
          std::array<uint64_t, WORDS> taking{};
          for (size_t pos = at; pos < end; ++pos) {
            const uint32_t slot = ids[pos] & (PAGE_SLOTS - 1);
            taking[slot / 64] |= uint64_t{1} << (slot % 64);
          }
          size_t read = 0;
          size_t kept = 0;
          for (uint32_t word = 0; word < WORDS; ++word) {
            for (uint64_t bits = page->present[word]; bits != 0; bits &= bits - 1, ++read) {
              const uint64_t bit = bits & (~bits + 1);
              if ((taking[word] & bit) == 0) {
                if (kept != read) page->items[kept] = std::move(page->items[read]);
                ++kept;
                continue;
              }
              sink(std::move(page->items[read]));
              page->present[word] &= ~bit;
              --size_;
            }
          }
          page->items.erase(page->items.begin() + static_cast<std::ptrdiff_t>(kept), page->items.end());
          page->shrink_if_loose();
          free_if_empty(leaf_at, page);
        }
      }
      at = end;
    }
  }

  // Number of stored items.
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Pages currently allocated (for tests and memory accounting).
  size_t page_count() const {
    size_t count = 0;
    for (const auto& leaf : leaves_) count += leaf ? leaf->count : 0;
    return count;
  }

  // Calls f(id, const Item&) for every stored item in ascending id order.
  template <class F>
  void for_each(F&& f) const {
    for (size_t leaf_at = 0; leaf_at < leaves_.size(); ++leaf_at) {
      if (!leaves_[leaf_at]) continue;
      const Leaf& leaf = *leaves_[leaf_at];
      for (uint32_t page_at = 0; page_at < LEAF_PAGES; ++page_at) {
        if (!leaf.pages[page_at]) continue;
        const Page& p = *leaf.pages[page_at];
        const uint32_t first = static_cast<uint32_t>(((leaf_at << LEAF_BITS) | page_at) << PAGE_BITS);
        size_t at = 0;
        for (uint32_t word = 0; word < WORDS; ++word) {
          for (uint64_t bits = p.present[word]; bits != 0; bits &= bits - 1) {
            const uint32_t slot = word * 64 + static_cast<uint32_t>(std::countr_zero(bits));
            f(first | slot, p.items[at++]);
          }
        }
      }
    }
  }

 private:
  static constexpr uint32_t WORDS = PAGE_SLOTS / 64;

  // Slots a page grows by: a page of a few objects stays small, a full one reallocates eight times on its way.
  static constexpr size_t GROWTH = 16;

  struct Page {
    std::array<uint64_t, WORDS> present{};
    std::vector<Item> items;  // the present ids' items, in id order

    bool has(uint32_t slot) const { return ((present[slot / 64] >> (slot % 64)) & 1) != 0; }
    // Where `slot`'s item is (or would go) in `items`: the number of present slots below it.
    size_t rank(uint32_t slot) const {
      size_t below = 0;
      for (uint32_t word = 0; word < slot / 64; ++word) below += static_cast<size_t>(std::popcount(present[word]));
      return below + static_cast<size_t>(std::popcount(present[slot / 64] & ((uint64_t{1} << (slot % 64)) - 1)));
    }
    void mark(uint32_t slot) { present[slot / 64] |= uint64_t{1} << (slot % 64); }
    void unmark(uint32_t slot) { present[slot / 64] &= ~(uint64_t{1} << (slot % 64)); }
    // Gives back room that the items left long ago (never fails: a refused shrink keeps the room).
    void shrink_if_loose() {
      if (!items.empty() && items.capacity() - items.size() >= 2 * GROWTH) items.shrink_to_fit();
    }
  };

  struct Leaf {
    std::array<std::unique_ptr<Page>, LEAF_PAGES> pages{};
    uint32_t count = 0;  // pages allocated
  };

  Item take_slot(Page& page, uint32_t slot) {
    const auto at = page.items.begin() + static_cast<std::ptrdiff_t>(page.rank(slot));
    Item taken = std::move(*at);
    page.items.erase(at);
    page.unmark(slot);
    page.shrink_if_loose();
    --size_;
    return taken;
  }

  void free_if_empty(size_t leaf_at, std::unique_ptr<Page>& page) {
    if (!page->items.empty()) return;
    page.reset();
    if (--leaves_[leaf_at]->count == 0) {
      leaves_[leaf_at].reset();
      while (!leaves_.empty() && !leaves_.back()) leaves_.pop_back();
    }
  }

  const Page* page_of(uint32_t id) const {
    const size_t leaf_at = id >> (PAGE_BITS + LEAF_BITS);
    if (leaf_at >= leaves_.size() || !leaves_[leaf_at]) return nullptr;
    return leaves_[leaf_at]->pages[(id >> PAGE_BITS) & (LEAF_PAGES - 1)].get();
  }

  std::vector<std::unique_ptr<Leaf>> leaves_;
  size_t size_ = 0;
};

}  // namespace vostrel
