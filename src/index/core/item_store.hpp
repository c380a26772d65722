// ItemStore: an index's records by object id, in pages allocated only where the index holds objects.
//
// Ids are process-wide, so an index holding a few objects may see ids anywhere in the live range. The store keeps
// a page table (one pointer per 128 ids up to the highest page used) and allocates a page of 128 slots only when
// one of its ids is stored, and frees it when its last item leaves; a one-object index among a million live objects
// costs a few tens of KiB, a full index about one slot per object. Lookups are a shift, an index and a bit test,
// so walking a result bitmap in ascending order stays a sequential scan of the pages.
//
// No lock of its own: the owner guards it (RwLocked in IndexAPI).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace vostrel {

template <class Item>
class ItemStore {
 public:
  static constexpr unsigned PAGE_BITS = 7;
  static constexpr uint32_t PAGE_SLOTS = 1u << PAGE_BITS;

  // The item stored under `id`, or null. Valid until the next put/take.
  const Item* find(uint32_t id) const {
    const size_t page = id >> PAGE_BITS;
    if (page >= pages_.size() || !pages_[page]) return nullptr;
    const Page& p = *pages_[page];
    const uint32_t slot = id & (PAGE_SLOTS - 1);
    return p.has(slot) ? &p.slots[slot] : nullptr;
  }
  bool contains(uint32_t id) const { return find(id) != nullptr; }

  // Stores `item` under `id` and returns what was there (a default Item when nothing was), so the caller can drop
  // it after unlocking. If the page allocation fails nothing changes and std::bad_alloc propagates.
  Item put(uint32_t id, Item item) {
    const size_t page = id >> PAGE_BITS;
    if (page >= pages_.size()) pages_.resize(page + 1);
    if (!pages_[page]) pages_[page] = std::make_unique<Page>();
    Page& p = *pages_[page];
    const uint32_t slot = id & (PAGE_SLOTS - 1);
    if (!p.has(slot)) {
      p.mark(slot);
      ++size_;
    }
    return std::exchange(p.slots[slot], std::move(item));
  }

  // Removes the item under `id` and returns it (a default Item when there was none). An emptied page is freed.
  Item take(uint32_t id) {
    const size_t page = id >> PAGE_BITS;
    if (page >= pages_.size() || !pages_[page]) return Item();
    Page& p = *pages_[page];
    const uint32_t slot = id & (PAGE_SLOTS - 1);
    if (!p.has(slot)) return Item();
    Item taken = std::exchange(p.slots[slot], Item());
    p.unmark(slot);
    --size_;
    if (p.count == 0) {
      pages_[page].reset();  // every slot holds a default Item: nothing to release
      while (!pages_.empty() && !pages_.back()) pages_.pop_back();
    }
    return taken;
  }

  // Number of stored items.
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Pages currently allocated (for tests and memory accounting).
  size_t page_count() const {
    size_t count = 0;
    for (const auto& page : pages_) count += page ? 1 : 0;
    return count;
  }

  // Calls f(id, const Item&) for every stored item in ascending id order.
  template <class F>
  void for_each(F&& f) const {
    for (size_t page = 0; page < pages_.size(); ++page) {
      if (!pages_[page]) continue;
      const Page& p = *pages_[page];
      for (uint32_t word = 0; word < WORDS; ++word) {
        for (uint64_t bits = p.present[word]; bits != 0; bits &= bits - 1) {
          const uint32_t slot = word * 64 + static_cast<uint32_t>(std::countr_zero(bits));
          f(static_cast<uint32_t>((page << PAGE_BITS) | slot), p.slots[slot]);
        }
      }
    }
  }

 private:
  static constexpr uint32_t WORDS = PAGE_SLOTS / 64;

  struct Page {
    std::array<Item, PAGE_SLOTS> slots{};
    std::array<uint64_t, WORDS> present{};
    uint32_t count = 0;

    bool has(uint32_t slot) const { return ((present[slot / 64] >> (slot % 64)) & 1) != 0; }
    void mark(uint32_t slot) {
      present[slot / 64] |= uint64_t{1} << (slot % 64);
      ++count;
    }
    void unmark(uint32_t slot) {
      present[slot / 64] &= ~(uint64_t{1} << (slot % 64));
      --count;
    }
  };

  std::vector<std::unique_ptr<Page>> pages_;
  size_t size_ = 0;
};

}  // namespace vostrel
