// PagedU32Map: a map from dense 32-bit ids to 32-bit values in on-demand pages of 1024 slots.
//
// Ids come from one process-wide allocator and stay dense, so a page table beats a hash map for the bulk
// translations of query results (ascending ids walk pages in order, one cache line per few ids). Value 0 means
// "absent": the allocator never hands out id 0, and every value stored here is an id.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace vostrel {

class PagedU32Map {
 public:
  static constexpr uint32_t ABSENT = 0;

  // The value stored for `key`, or ABSENT.
  uint32_t get(uint32_t key) const {
    const size_t page = key >> PAGE_BITS;
    if (page >= pages_.size() || !pages_[page]) return ABSENT;
    return (*pages_[page])[key & PAGE_MASK];
  }

  // Stores `value` (not ABSENT) for `key`, replacing any earlier value.
  void set(uint32_t key, uint32_t value) {
    const size_t page = key >> PAGE_BITS;
    if (page >= pages_.size()) pages_.resize(page + 1);
    if (!pages_[page]) pages_[page] = std::make_unique<Page>();
    (*pages_[page])[key & PAGE_MASK] = value;
  }

  // Forgets `key`. Pages are kept: ids are reused, so the slots will be again.
  void erase(uint32_t key) {
    const size_t page = key >> PAGE_BITS;
    if (page < pages_.size() && pages_[page]) (*pages_[page])[key & PAGE_MASK] = ABSENT;
  }

 private:
  static constexpr unsigned PAGE_BITS = 10;
  static constexpr uint32_t PAGE_MASK = (1u << PAGE_BITS) - 1;
  using Page = std::array<uint32_t, 1u << PAGE_BITS>;  // value-initialised: every slot ABSENT

  std::vector<std::unique_ptr<Page>> pages_;
};

}  // namespace vostrel
