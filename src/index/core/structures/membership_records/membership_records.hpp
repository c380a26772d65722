// MembershipRecords: the indexes that hold one object, the first kept in place.
//
// Nearly every indexed object is held by one index, and every Indexable carries this list: kept in place, that one
// record costs no allocation and no heap header, and a walk over many objects' records (a reduce letting go of most of
// an index) touches the object alone. A second record moves the list to a heap block, which goes again once the list
// is empty. The list is as large as the vector it replaces (24 bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace vostrel {

class IndexAPI;

// One membership record: the index that holds the object, weakly (a dropped index leaves a dead record).
struct IndexMeta {
  std::weak_ptr<IndexAPI> index;
};

class MembershipRecords {
 public:
  MembershipRecords() noexcept {}  // NOLINT: the union member is constructed on first use
  // Only before the object is published (no other thread sees the list).
  MembershipRecords(MembershipRecords&& other) noexcept {
    for (IndexMeta& record : other) push_back(std::move(record));
    other.clear();
  }
  MembershipRecords(const MembershipRecords&) = delete;
  MembershipRecords& operator=(const MembershipRecords&) = delete;
  ~MembershipRecords() { clear(); }

  size_t size() const noexcept { return size_; }
  // Bytes of the heap block holding the records, if any (a single record is kept in place).
  size_t heap_bytes() const noexcept { return on_heap_ ? storage_.heap.capacity * sizeof(IndexMeta) : 0; }
  bool empty() const noexcept { return size_ == 0; }
  // empty() for a reader without the list's lock that checks a stamp of the lock afterwards (see CompactMutex): one
  // load of the count's aligned word, unseen by the thread sanitizer (it races with writers by design).
  [[gnu::no_sanitize_thread]] bool empty_unlocked() const noexcept { return size_ == 0; }
  IndexMeta* data() noexcept { return on_heap_ ? storage_.heap.items : &storage_.one; }
  const IndexMeta* data() const noexcept { return on_heap_ ? storage_.heap.items : &storage_.one; }
  IndexMeta* begin() noexcept { return data(); }
  IndexMeta* end() noexcept { return data() + size_; }
  const IndexMeta* begin() const noexcept { return data(); }
  const IndexMeta* end() const noexcept { return data() + size_; }

  // Appends a record. Throws std::bad_alloc (nothing changed) when a heap block cannot be had.
  void push_back(IndexMeta record) {
    if (!on_heap_ && size_ == 0) {
      std::construct_at(&storage_.one, std::move(record));
      size_ = 1;
      return;
    }
    if (!on_heap_) {
      IndexMeta* items = allocate(FIRST_HEAP_CAPACITY);
      std::construct_at(items, std::move(storage_.one));
      std::construct_at(items + 1, std::move(record));
      std::destroy_at(&storage_.one);
      storage_.heap = Heap{items, FIRST_HEAP_CAPACITY};
      on_heap_ = true;
      size_ = 2;
      return;
    }
    if (size_ == storage_.heap.capacity) {
      const uint32_t capacity = storage_.heap.capacity * 2;
      IndexMeta* items = allocate(capacity);
      for (uint32_t at = 0; at < size_; ++at) std::construct_at(items + at, std::move(storage_.heap.items[at]));
      std::destroy_n(storage_.heap.items, size_);
      std::allocator<IndexMeta>().deallocate(storage_.heap.items, storage_.heap.capacity);
      storage_.heap = Heap{items, capacity};
    }
    std::construct_at(storage_.heap.items + size_, std::move(record));
    ++size_;
  }

  // Removes every record for which pred(record) holds, keeping the order of the others.
  template <class Pred>
  void erase_if(Pred&& pred) {
    IndexMeta* items = data();
    uint32_t kept = 0;
    for (uint32_t at = 0; at < size_; ++at) {
      if (pred(std::as_const(items[at]))) continue;
      if (kept != at) items[kept] = std::move(items[at]);
      ++kept;
    }
    std::destroy_n(items + kept, size_ - kept);
    size_ = kept;
    if (size_ == 0) clear();
  }

  // Drops every record and the heap block, if any.
  void clear() noexcept {
    if (on_heap_) {
      std::destroy_n(storage_.heap.items, size_);
      std::allocator<IndexMeta>().deallocate(storage_.heap.items, storage_.heap.capacity);
      on_heap_ = false;
    } else if (size_ == 1) {
      std::destroy_at(&storage_.one);
    }
    size_ = 0;
  }

 private:
  static constexpr uint32_t FIRST_HEAP_CAPACITY = 4;

  static IndexMeta* allocate(uint32_t capacity) { return std::allocator<IndexMeta>().allocate(capacity); }

  struct Heap {
    IndexMeta* items;
    uint32_t capacity;
  };
  union Storage {
    Storage() noexcept {}  // NOLINT: neither member is active until the list says so
    ~Storage() {}          // NOLINT: the list destroys the active member
    IndexMeta one;         // active when !on_heap_ && size_ == 1
    Heap heap;             // active when on_heap_
  } storage_;
  // One word, so the mutex beside the records fits in what would be padding (see MembershipList).
  uint32_t size_ : 31 = 0;
  uint32_t on_heap_ : 1 = 0;
};

}  // namespace vostrel
