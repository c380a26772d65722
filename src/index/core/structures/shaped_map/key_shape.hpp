// KeyShape: an attribute-name sequence shared by every object whose attributes arrived in that order.
//
// Objects of one class nearly always receive the same attributes in the same order (an __init__, a row's columns),
// so their attribute maps need not each carry the keys: a map holds a pointer to the shape of its keys and its
// values alone. Shapes form a tree from the empty root: the shape of keys k1..kn followed by k is the child of
// k1..kn reached through k, made the first time some map takes that step and found again by every later map.
//
// Shapes are immutable once published and never freed (a map may point at one from any thread at any time), so the
// tree is bounded instead: a shape holds at most MAX_KEYS keys, a shape other than the root has at most MAX_BRANCHES
// children, and at most MAX_SHAPES shapes are ever made. A step the bounds refuse leaves the map to keep its own keys
// (see ShapedMap). Steps are found in one process-wide open-addressing table keyed by (shape, key),
// filled by compare-and-swap and never emptied, so a step costs no lock: it is taken with or without the interpreter
// lock, under an object's lock or before the object is published, and across fork().
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vostrel {

// Position of `key` among `count` keys, or count; compared four at a time where SSE2 is there.
inline size_t find_u32(const uint32_t* keys, size_t count, uint32_t key) noexcept {
  size_t slot = 0;
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi32(static_cast<int>(key));
  for (; slot + 4 <= count; slot += 4) {
    const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + slot));
    const unsigned hits = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(four, wanted))));
    if (hits != 0) return slot + static_cast<size_t>(std::countr_zero(hits));
  }
#endif
  while (slot < count && keys[slot] != key) ++slot;
  return slot;
}

class KeyShape {
 public:
  static constexpr size_t MAX_KEYS = 32;  // a scan of 32 keys is as quick as a hash probe
  // Enough for hundreds of classes (a class seldom branches: its objects take the same path), few enough that the
  // tree and its table stay near three megabytes.
  static constexpr size_t MAX_SHAPES = 16384;
  // Objects whose attributes arrive in many orders (rows of optional fields) stop sharing there instead of using the
  // tree up for every other class. The root is exempt: its children are the first attributes of every class.
  static constexpr size_t MAX_BRANCHES = 64;

  // The shape with no keys, where every map starts.
  static const KeyShape* root() noexcept { return &ROOT; }

  uint32_t size() const noexcept { return size_; }
  const uint32_t* keys() const noexcept { return keys_; }
  uint32_t key(size_t at) const noexcept { return keys_[at]; }
  // The most keys of any shape made from this one (or its own size): how far maps that reached it have gone.
  uint32_t reach() const noexcept { return std::max(size_, reach_.load(std::memory_order_relaxed)); }
  // Side slots (values without a word form) the last map through this shape's first step needed: a new map starting
  // the same way makes room for as many at once instead of in a second block. A hint only: a wrong one costs a spare
  // slot or a second block.
  uint32_t side_hint() const noexcept {
    return origin_ == nullptr ? 0 : origin_->sides_seen_.load(std::memory_order_relaxed);
  }
  void note_sides(uint32_t sides) const noexcept {
    // Written only on a change: objects of a class made on many threads then leave the line shared, not bouncing.
    if (origin_ != nullptr && origin_->sides_seen_.load(std::memory_order_relaxed) != sides) {
      origin_->sides_seen_.store(sides, std::memory_order_relaxed);
    }
  }
  // Position of `key`, or size() when it is not one of these keys.
  size_t find(uint32_t key) const noexcept { return find_u32(keys_, size_, key); }

  // The shape of these keys followed by `key` (which must not be one of them): found, or made and linked. Null when
  // the bounds refuse the step; throws std::bad_alloc (nothing linked) when memory runs out.
  const KeyShape* with(uint32_t key) const;

  // Shapes made in this process (tests and memory accounting).
  static size_t count() noexcept { return made_.load(std::memory_order_relaxed); }

  KeyShape(const KeyShape&) = delete;
  KeyShape& operator=(const KeyShape&) = delete;

 private:
  // Only the tree makes shapes: the key type cannot be named outside it.
  struct MadeByTree {};

 public:
  KeyShape(MadeByTree, const KeyShape& parent, uint32_t key);

 private:
  constexpr KeyShape() noexcept = default;

  // The shape reached from this one through `key`, if made.
  const KeyShape* find_step(uint32_t key) const noexcept;
  bool is_step(const KeyShape* shape, uint32_t key) const noexcept {
    return shape->parent_ == this && shape->keys_[size_] == key;
  }

  static const KeyShape ROOT;
  static std::atomic<size_t> made_;

  uint32_t size_ = 0;
  mutable std::atomic<uint32_t> children_{0};
  mutable std::atomic<uint32_t> reach_{0};
  // The step taken last from this shape: objects of a class take the same one, without a probe of the table.
  mutable std::atomic<const KeyShape*> last_step_{nullptr};
  const KeyShape* parent_ = nullptr;
  const KeyShape* origin_ = nullptr;  // the ancestor one step from the root (itself at that depth; none for the root)
  mutable std::atomic<uint32_t> sides_seen_{0};
  // In place, so a lookup reads the shape and its keys in one go; the tree's bound keeps the room affordable.
  uint32_t keys_[MAX_KEYS] = {};
};

}  // namespace vostrel
