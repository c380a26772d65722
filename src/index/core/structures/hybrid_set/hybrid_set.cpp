// HybridSet: state transitions, union and filtering of the per-value id sets.
#include "index/core/structures/hybrid_set/hybrid_set.hpp"

#include <utility>

#include "index/core/structures/internal_error.hpp"

namespace vostrel {
namespace {

// Bulk-adds the occupied slots of a into out.
void add_slots(Bitmap& out, const CenteredArray& a) {
  if (a.len != 0) roaring_bitmap_add_many(&out.roaring, a.len, a.data.data() + a.start);
}

// A fresh array holding the ids of a that keep holds, inserted in ascending order.
CenteredArray kept_slots(const CenteredArray& a, const Bitmap& keep) {
  CenteredArray kept;
  for (uint32_t id : a.slots()) {
    if (roaring_bitmap_contains(&keep.roaring, id)) kept.insert(id);
  }
  return kept;
}

}  // namespace

HybridSet::HybridSet(const HybridSet& other) {
  switch (other.state()) {
    case State::Empty:
      break;
    case State::Small:
      rep_.emplace<CenteredArray>(std::get<CenteredArray>(other.rep_));
      break;
    case State::Medium:
      rep_.emplace<Boxed>(std::make_unique<CenteredArray>(*std::get<Boxed>(other.rep_)));
      break;
    case State::Large:
      rep_.emplace<BoxedBitmap>(std::make_unique<Bitmap>(*other.bitmap()));
      break;
  }
}

HybridSet& HybridSet::operator=(const HybridSet& other) {
  if (this != &other) *this = HybridSet(other);
  return *this;
}

HybridSet::HybridSet(HybridSet&& other) noexcept : rep_(std::move(other.rep_)) {
  other.rep_.emplace<std::monostate>();
}

HybridSet& HybridSet::operator=(HybridSet&& other) noexcept {
  if (this != &other) {
    rep_ = std::move(other.rep_);
    other.rep_.emplace<std::monostate>();
  }
  return *this;
}

HybridSet HybridSet::boxed(const CenteredArray& array) {
  HybridSet set;
  set.rep_.emplace<Boxed>(std::make_unique<CenteredArray>(array));
  return set;
}

const CenteredArray* HybridSet::array() const {
  if (const auto* small = std::get_if<CenteredArray>(&rep_)) return small;
  if (const auto* boxed = std::get_if<Boxed>(&rep_)) return boxed->get();
  return nullptr;
}

CenteredArray* HybridSet::mutable_array() {
  return const_cast<CenteredArray*>(std::as_const(*this).array());
}

void HybridSet::convert_to_large(uint32_t id) {
  Bitmap large;
  add_slots(large, *array());
  large.add(id);
  rep_ = std::make_unique<Bitmap>(std::move(large));  // frees the box of a Medium set
}

void HybridSet::add(uint32_t id) {
  switch (state()) {
    case State::Empty: {
      CenteredArray fresh;
      fresh.insert(id);
      rep_ = fresh;
      return;
    }
    case State::Small: {
      // The inline form stops at three ids: a fourth add moves to a bitmap
      // (even for a duplicate, which keeps the transition a function of length).
      auto& small = std::get<CenteredArray>(rep_);
      if (small.len + 1 < CenteredArray::CAPACITY) {
        small.insert(id);
      } else {
        convert_to_large(id);
      }
      return;
    }
    case State::Medium: {
      auto& boxed = *std::get<Boxed>(rep_);
      if (boxed.len < CenteredArray::CAPACITY) {
        boxed.insert(id);
      } else {
        convert_to_large(id);
      }
      return;
    }
    case State::Large:
      add_rising(*std::get<BoxedBitmap>(rep_), id);
      return;
  }
}

void HybridSet::remove(uint32_t id) {
  if (CenteredArray* a = mutable_array()) {
    a->remove(id);
  } else if (auto* large = std::get_if<BoxedBitmap>(&rep_)) {
    roaring_bitmap_remove(&(*large)->roaring, id);
  } else {
    throw InternalError("called remove on Empty");
  }
}

bool HybridSet::is_empty() const {
  if (const CenteredArray* a = array()) return a->len == 0;
  if (const Bitmap* large = bitmap()) return roaring_bitmap_is_empty(&large->roaring);
  throw InternalError("called is_empty on Empty");
}

uint64_t HybridSet::cardinality() const {
  if (const CenteredArray* a = array()) return a->len;
  if (const Bitmap* large = bitmap()) return roaring_bitmap_get_cardinality(&large->roaring);
  return 0;
}

bool HybridSet::contains(uint32_t id) const {
  if (const CenteredArray* a = array()) return a->contains(id);
  if (const Bitmap* large = bitmap()) return roaring_bitmap_contains(&large->roaring, id);
  return false;
}

Bitmap HybridSet::to_bitmap() const {
  if (const Bitmap* large = bitmap()) return *large;
  Bitmap out;
  or_into(out);
  return out;
}

void HybridSet::or_into(Bitmap& out) const {
  if (const CenteredArray* a = array()) {
    add_slots(out, *a);
  } else if (const Bitmap* large = bitmap()) {
    roaring_bitmap_or_inplace(&out.roaring, &large->roaring);
  }
}

HybridSet HybridSet::union_of(const HybridSet& a, const HybridSet& b) {
  if (a.state() == State::Empty) return b;
  if (b.state() == State::Empty) return a;

  const CenteredArray* left = a.array();
  const CenteredArray* right = b.array();
  if (left != nullptr && right != nullptr && left->len + right->len <= CenteredArray::CAPACITY) {
    CenteredArray merged = *left;
    merged.union_with(*right);
    if (a.state() == State::Small && b.state() == State::Small) {
      HybridSet out;
      out.rep_ = merged;
      return out;
    }
    return boxed(merged);
  }

  // Start from a copy of a bitmap side when there is one: cheaper than
  // re-adding its ids one container at a time.
  HybridSet out;
  Bitmap& large =
      *out.rep_.emplace<BoxedBitmap>(std::make_unique<Bitmap>(a.bitmap() != nullptr ? *a.bitmap() : Bitmap()));
  if (a.bitmap() == nullptr) a.or_into(large);
  b.or_into(large);
  return out;
}

void HybridSet::keep_only_from_bitmap(const Bitmap& keep) {
  switch (state()) {
    case State::Empty:
      return;
    case State::Small:
      rep_ = kept_slots(std::get<CenteredArray>(rep_), keep);
      return;
    case State::Medium: {
      // The box is reused: a subset of at most four ids always fits in it.
      CenteredArray& boxed = *std::get<Boxed>(rep_);
      boxed = kept_slots(boxed, keep);
      return;
    }
    case State::Large:
      roaring_bitmap_and_inplace(&std::get<BoxedBitmap>(rep_)->roaring, &keep.roaring);
      return;
  }
}

}  // namespace vostrel
