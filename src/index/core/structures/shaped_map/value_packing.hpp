// ValuePacking: how a map may keep a value in one 64-bit word instead of the value itself, and PackedRef, a read of
// an entry that may be either.
//
// A type that allows it specialises ValuePacking with ENABLED = true and these, all noexcept:
//   std::optional<uint64_t> word_of(const V&)   the value's word form, if it has one;
//   void give_to_word(V&&)               empties the value whose word was taken: the word holds what it held;
//   V unpack(uint64_t)                   a value holding what the word held (the word is spent);
//   void retain(uint64_t), release(uint64_t)   one more / one less holder of what the word names;
//   void view(uint64_t, V* storage)      constructs at `storage` the value the word stands for WITHOUT taking a
//                                        reference: a borrowed view, valid while the word's holder keeps it, that
//                                        must never be destroyed (it owns nothing);
//   void prefetch(uint64_t)              asks the processor for what the word names, if anything;
//   bool names_shared(uint64_t)          whether the word names a shared part;
//   bool in_cycles(uint64_t)             whether the value can take part in a reference cycle (only such values
//                                        are visited by the collector's walk);
//   uint64_t side_word(size_t slot)      a word that stands for the value kept in side slot `slot` (< 16) of the
//                                        map's block, for a value without a word form;
//   std::optional<size_t> side_slot(uint64_t)   the slot such a word names, or nullopt for a value's own word.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

namespace vostrel {

// Types that do not specialise it never pack: word_of() says no, so the rest is never called.
template <class V>
struct ValuePacking {
  static constexpr bool ENABLED = false;
  static std::optional<uint64_t> word_of(const V&) noexcept { return std::nullopt; }
  [[noreturn]] static void give_to_word(V&&) noexcept { std::abort(); }
  [[noreturn]] static V unpack(uint64_t) noexcept { std::abort(); }
  static void retain(uint64_t) noexcept {}
  static void release(uint64_t) noexcept {}
  [[noreturn]] static void view(uint64_t, V*) noexcept { std::abort(); }
  static void prefetch(uint64_t) noexcept {}
  static bool names_shared(uint64_t) noexcept { return true; }
  static bool in_cycles(uint64_t) noexcept { return true; }
  static uint64_t side_word(size_t slot) noexcept { return slot; }
  static std::optional<size_t> side_slot(uint64_t) noexcept { return std::nullopt; }
};

// The value under a key, as a map hands it out: a pointer to a stored value, or a borrowed view of a packed word.
// Valid while the map is unchanged. Neither copied nor moved: the view may point into the reference itself.
template <class V>
class PackedRef {
 public:
  PackedRef() noexcept = default;
  explicit PackedRef(const V* stored) noexcept : value_(stored) {}
  explicit PackedRef(uint64_t packed) noexcept {
    ValuePacking<V>::view(packed, reinterpret_cast<V*>(view_));
    value_ = std::launder(reinterpret_cast<const V*>(view_));
  }
  // A view of a value whose bytes were copied (a lock-free read): owns nothing, like the view of a word.
  explicit PackedRef(const unsigned char (&bytes)[sizeof(V)]) noexcept {
    std::memcpy(view_, bytes, sizeof(V));
    value_ = std::launder(reinterpret_cast<const V*>(view_));
  }
  PackedRef(const PackedRef&) = delete;
  PackedRef& operator=(const PackedRef&) = delete;
  // A view owns nothing and is never destroyed.
  ~PackedRef() = default;

  explicit operator bool() const noexcept { return value_ != nullptr; }
  const V& operator*() const noexcept { return *value_; }
  const V* operator->() const noexcept { return value_; }

 private:
  const V* value_ = nullptr;
  alignas(V) unsigned char view_[sizeof(V)];
};

}  // namespace vostrel
