// CompactIdSet: a lone id inline, a boxed HybridSet from the second id on.
#include "index/core/structures/hybrid_set/compact_id_set.hpp"

#include <utility>

namespace vostrel {

static_assert(sizeof(CompactIdSet) == sizeof(uintptr_t));
static_assert(alignof(HybridSet) >= 2, "a box address must leave the low bit free for the lone tag");

CompactIdSet::CompactIdSet(const CompactIdSet& other) {
  if (const HybridSet* set = other.boxed()) {
    adopt(std::make_unique<HybridSet>(*set));
  } else {
    word_ = other.word_;
  }
}

CompactIdSet& CompactIdSet::operator=(const CompactIdSet& other) {
  if (this != &other) *this = CompactIdSet(other);
  return *this;
}

CompactIdSet& CompactIdSet::operator=(CompactIdSet&& other) noexcept {
  if (this != &other) {
    reset();
    word_ = std::exchange(other.word_, 0);
  }
  return *this;
}

void CompactIdSet::reset() noexcept {
  if (word_ != 0 && !is_lone()) std::unique_ptr<HybridSet>(boxed()).reset();
  word_ = 0;
}

void CompactIdSet::add(uint32_t id) {
  if (word_ == 0) {
    set_lone(id);
    return;
  }
  if (is_lone()) {
    if (lone() == id) return;
    auto set = std::make_unique<HybridSet>();
    set->add(lone());
    set->add(id);
    adopt(std::move(set));
    return;
  }
  boxed()->add(id);
}

void CompactIdSet::remove(uint32_t id) {
  if (word_ == 0) return;
  if (is_lone()) {
    if (lone() == id) word_ = 0;
    return;
  }
  boxed()->remove(id);
  shrink_if_single();
}

uint64_t CompactIdSet::cardinality() const {
  if (word_ == 0) return 0;
  return is_lone() ? 1 : boxed()->cardinality();
}

bool CompactIdSet::contains(uint32_t id) const {
  if (word_ == 0) return false;
  return is_lone() ? lone() == id : boxed()->contains(id);
}

void CompactIdSet::or_into(Bitmap& out) const {
  if (word_ == 0) return;
  if (is_lone()) {
    out.add(lone());
  } else {
    boxed()->or_into(out);
  }
}

void CompactIdSet::keep_only_from_bitmap(const Bitmap& keep) {
  if (word_ == 0) return;
  if (is_lone()) {
    if (!keep.contains(lone())) word_ = 0;
    return;
  }
  boxed()->keep_only_from_bitmap(keep);
  shrink_if_single();
}

void CompactIdSet::shrink_if_single() {
  const uint64_t left = boxed()->cardinality();
  if (left > 1) return;
  uint32_t last = 0;
  boxed()->for_each([&](uint32_t id) { last = id; });
  reset();
  if (left == 1) set_lone(last);
}

CompactIdSet CompactIdSet::union_of(const CompactIdSet& a, const CompactIdSet& b) {
  if (a.is_empty()) return b;
  if (b.is_empty()) return a;
  CompactIdSet result;
  if (a.is_lone() && b.is_lone()) {
    result.add(a.lone());
    result.add(b.lone());
    return result;
  }
  // At least one side is boxed: the other joins a copy of it.
  const CompactIdSet& larger = a.is_lone() ? b : a;
  const CompactIdSet& other = a.is_lone() ? a : b;
  if (other.is_lone()) {
    result = larger;
    result.add(other.lone());
    return result;
  }
  result.adopt(std::make_unique<HybridSet>(HybridSet::union_of(*larger.boxed(), *other.boxed())));
  return result;
}

}  // namespace vostrel
