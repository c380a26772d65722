// KeyShape: the shared tree of attribute-name sequences.
#include "index/core/structures/shaped_map/key_shape.hpp"

#include <algorithm>

#include "index/core/structures/fx_hash.hpp"

namespace vostrel {

constinit const KeyShape KeyShape::ROOT;
std::atomic<size_t> KeyShape::made_{0};

namespace {

// Every step made, at (parent, key): twice as many slots as shapes may be made, so probes stay short and an empty
// slot always remains. Zero-initialised, so untouched pages of it cost nothing.
constexpr size_t STEP_SLOTS = 2 * KeyShape::MAX_SHAPES;
std::atomic<const KeyShape*> steps[STEP_SLOTS];

size_t first_slot(const KeyShape* parent, uint32_t key) {
  return fx_hash_u64(reinterpret_cast<uintptr_t>(parent) ^ (uint64_t{key} << 32)) & (STEP_SLOTS - 1);
}
size_t next_slot(size_t slot) { return (slot + 1) & (STEP_SLOTS - 1); }

// The root's steps by key, direct-mapped: every class starts there, each with its own first key, so objects of two
// classes made in turn (a person and its address) would otherwise miss the root's last step and probe the table on
// every object. Interned ids are small and dense: few keys share a slot.
constexpr size_t ROOT_STEP_SLOTS = 256;
std::atomic<const KeyShape*> root_steps[ROOT_STEP_SLOTS];

}  // namespace

KeyShape::KeyShape(MadeByTree, const KeyShape& parent, uint32_t key)
    : size_(parent.size_ + 1), parent_(&parent), origin_(parent.origin_ != nullptr ? parent.origin_ : this) {
  std::copy_n(parent.keys_, parent.size_, keys_);
  keys_[parent.size_] = key;
}

const KeyShape* KeyShape::find_step(uint32_t key) const noexcept {
  for (size_t slot = first_slot(this, key);; slot = next_slot(slot)) {
    const KeyShape* shape = steps[slot].load(std::memory_order_acquire);
    if (shape == nullptr || is_step(shape, key)) return shape;
  }
}

const KeyShape* KeyShape::with(uint32_t key) const {
  const KeyShape* last = last_step_.load(std::memory_order_acquire);
  if (last != nullptr && last->keys_[size_] == key) return last;
  std::atomic<const KeyShape*>* root_step = this == &ROOT ? &root_steps[key % ROOT_STEP_SLOTS] : nullptr;
  if (root_step != nullptr) {
    const KeyShape* kept = root_step->load(std::memory_order_acquire);
    if (kept != nullptr && kept->keys_[0] == key) return kept;
  }
  if (const KeyShape* known = find_step(key)) {
    last_step_.store(known, std::memory_order_release);
    if (root_step != nullptr) root_step->store(known, std::memory_order_release);
    return known;
  }
  if (size_ >= MAX_KEYS) return nullptr;
  if (this != &ROOT && children_.load(std::memory_order_relaxed) >= MAX_BRANCHES) return nullptr;
  // Counted before it is made, so racing threads never make more than MAX_SHAPES between them.
  if (made_.fetch_add(1, std::memory_order_relaxed) >= MAX_SHAPES) {
    made_.fetch_sub(1, std::memory_order_relaxed);
    return nullptr;
  }
  std::unique_ptr<KeyShape> made;
  try {
    made = std::make_unique<KeyShape>(MadeByTree{}, *this, key);
  } catch (...) {
    made_.fetch_sub(1, std::memory_order_relaxed);
    throw;
  }
  for (size_t slot = first_slot(this, key);; slot = next_slot(slot)) {
    const KeyShape* shape = steps[slot].load(std::memory_order_acquire);
    if (shape == nullptr && steps[slot].compare_exchange_strong(shape, made.get(), std::memory_order_acq_rel)) {
      children_.fetch_add(1, std::memory_order_relaxed);
      for (const KeyShape* above = this; above != nullptr; above = above->parent_) {
        uint32_t known = above->reach_.load(std::memory_order_relaxed);
        while (known < made->size_ && !above->reach_.compare_exchange_weak(known, made->size_)) {
        }
        if (known >= made->size_) break;  // raised before by a deeper shape: so were all above it
      }
      return made.release();  // owned by the table from now on, for the life of the process
    }
    // The slot is taken (a failed exchange loaded its shape): another thread may have made this very step.
    if (is_step(shape, key)) {
      made_.fetch_sub(1, std::memory_order_relaxed);
      return shape;
    }
  }
}

}  // namespace vostrel
