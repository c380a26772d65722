// Process-wide allocation of 32-bit object ids: the lowest freed id is reused first, before fresh ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vostrel {

// Returns an id that no live owner holds: the lowest freed id if any, else the next fresh id from
// GLOBAL_ID_COUNTER (the first is 1; 0 is never handed out). Reusing the lowest id keeps the ids of a process that
// creates and drops many objects dense and ascending, so id bitmaps stay compact and new objects sort after old
// ones. Throws InternalError("id space exhausted") when no id was freed and all 2^32 - 1 fresh ids are used up.
// Thread-safe, with or without the interpreter lock.
uint32_t allocate_id();

// Gives `id` back for reuse. The caller must own it and stop using it; nothing is checked. Thread-safe.
void free_id(uint32_t id);

// free_id for each of `ids`, under one lock: the element ids of a dropped or pruned map come back by the million.
void free_many_ids(std::span<const uint32_t> ids);

// Gathers ids to give back and frees them a thousand at a time (the rest when it goes), allocating nothing: for
// walks that let go of ids one by one from inside a destructor.
class IdReturnBatch {
 public:
  IdReturnBatch() = default;
  IdReturnBatch(const IdReturnBatch&) = delete;
  IdReturnBatch& operator=(const IdReturnBatch&) = delete;
  ~IdReturnBatch() { flush(); }

  void add(uint32_t id) {
    ids_[count_++] = id;
    if (count_ == ids_.size()) flush();
  }
  void flush() {
    free_many_ids(std::span<const uint32_t>(ids_.data(), count_));
    count_ = 0;
  }

 private:
  std::array<uint32_t, 1024> ids_;
  size_t count_ = 0;
};

#ifdef VOSTREL_TEST_HOOKS
namespace id_alloc_testing {
// Sets the next fresh id the counter hands out (2^32 means the fresh ids are used up).
void set_next_fresh_id(uint64_t next);
// The next fresh id the counter would hand out.
uint64_t next_fresh_id();
// Number of freed ids waiting for reuse.
size_t free_count();
}  // namespace id_alloc_testing
#endif

}  // namespace vostrel
