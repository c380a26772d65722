// M2MU32: exact parent-child pairs in a paged dense array with hash-map overflow.
#include "index/core/structures/m2m/m2m_u32.hpp"

#include <algorithm>
#include <bit>
#include <new>
#include <utility>
#include <vector>

#include "index/core/structures/bitmap_ops/add_ids.hpp"

namespace vostrel {
namespace {

// Ids gathered for one bulk add: large enough to amortise the call, small
// enough to stay in L1.
constexpr size_t BATCH = 1024;

// Collects ids and bulk-adds them into a bitmap a batch at a time.
class BatchAdder {
 public:
  explicit BatchAdder(Bitmap& out) : out_(out) {}
  ~BatchAdder() { flush(); }
  BatchAdder(const BatchAdder&) = delete;
  BatchAdder& operator=(const BatchAdder&) = delete;

  void push(uint32_t id) {
    buffer_[count_++] = id;
    if (count_ == BATCH) flush();
  }

  void flush() {
    // Lefts mostly come rising (holders made in the order of what they hold): a rising run goes into its container
    // in one copy, where an add per id grows an array container a step at a time.
    if (count_ != 0) add_ids(&out_.roaring, buffer_.data(), count_);
    count_ = 0;
  }

 private:
  Bitmap& out_;
  std::array<uint32_t, BATCH> buffer_;
  size_t count_ = 0;
};

// Calls f(id) for every id of ids, ascending, reading the bitmap in batches; stops early when f returns false.
// `ahead(id)` is called for a whole batch before any f(id) of it, so that lookups scattered over a large table start
// their memory loads together instead of waiting for each other.
template <class F, class Ahead>
void for_each_batched(const Bitmap& ids, F&& f, Ahead&& ahead) {
  roaring_uint32_iterator_t it;
  roaring_init_iterator(&ids.roaring, &it);
  std::array<uint32_t, 256> batch;
  for (;;) {
    const uint32_t got = roaring_read_uint32_iterator(&it, batch.data(), batch.size());
    if (got == 0) return;
    for (uint32_t i = 0; i < got; ++i) ahead(batch[i]);
    for (uint32_t i = 0; i < got; ++i) {
      if (!f(batch[i])) return;
    }
  }
}

template <class F>
void for_each_batched(const Bitmap& ids, F&& f) {
  for_each_batched(ids, std::forward<F>(f), [](uint32_t) {});
}

// True when set and ids share an id.
bool intersects(const LeftSet& set, const Bitmap& ids) {
  if (const Bitmap* b = set.bitmap()) return roaring_bitmap_intersect(&b->roaring, &ids.roaring);
  for (uint32_t id : set.array()) {
    if (roaring_bitmap_contains(&ids.roaring, id)) return true;
  }
  return false;
}

}  // namespace

uint32_t* M2MU32::slot_of(uint32_t right) {
  return const_cast<uint32_t*>(static_cast<const M2MU32&>(*this).slot_of(right));
}

const uint32_t* M2MU32::slot_of(uint32_t right) const {
  const size_t index = right >> PAGE_BITS;
  if (index >= pages_.size() || !pages_[index]) return nullptr;
  return &pages_[index]->left[right & PAGE_MASK];
}

void M2MU32::place_single(uint32_t right, uint32_t left) {
  if (right >= DENSE_LIMIT) {
    loose_.emplace(right, left);
    return;
  }
  // Either the pair is placed or (memory) nothing changed: the caller may count on it to move a pair.
  const size_t index = right >> PAGE_BITS;
  if (index >= pages_.size()) {
    loose_in_range_.reserve(index + 1);  // both grow, or neither
    pages_.resize(index + 1);
    loose_in_range_.resize(index + 1, 0);
  }
  if (pages_[index] && left != NO_LEFT) {
    pages_[index]->left[right & PAGE_MASK] = left;
    max_paged_left_ = std::max(max_paged_left_, left);
    return;
  }
  loose_.emplace(right, left);
  if (!pages_[index] && ++loose_in_range_[index] >= PROMOTE_AT) {
    try {
      promote(index);  // fails before it moves anything
    } catch (const std::bad_alloc&) {
      // The pair is placed, loose; a later placement in this range promotes it.
    }
  }
}

void M2MU32::note_loose_removed(uint32_t right) {
  const size_t index = right >> PAGE_BITS;
  if (right < DENSE_LIMIT && index < pages_.size() && !pages_[index]) --loose_in_range_[index];
}

void M2MU32::promote(size_t index) {
  auto page = std::make_unique<Page>();
  page->left.fill(NO_LEFT);
  const uint32_t first = static_cast<uint32_t>(index) << PAGE_BITS;

  auto move_in = [&](uint32_t right, uint32_t left) {
    if (left == NO_LEFT) return false;  // the marker value cannot sit in a slot
    page->left[right & PAGE_MASK] = left;
    max_paged_left_ = std::max(max_paged_left_, left);
    return true;
  };
  // Probe the page's ids or walk the map, whichever is shorter.
  if (loose_.size() <= PAGE_SIZE) {
    for (auto it = loose_.begin(); it != loose_.end();) {
      const bool in_range = (it->first >> PAGE_BITS) == index;
      if (in_range && move_in(it->first, it->second)) {
        it = loose_.erase(it);
      } else {
        ++it;
      }
    }
  } else {
    for (uint32_t right = first; right < first + PAGE_SIZE; ++right) {
      auto it = loose_.find(right);
      if (it != loose_.end() && move_in(right, it->second)) loose_.erase(it);
    }
  }
  pages_[index] = std::move(page);
  loose_in_range_[index] = 0;
}

void M2MU32::make_multi(uint32_t right, uint32_t a, uint32_t b) {
  multi_.emplace(right, LeftSet::of_two(a, b));
  multi_rights_.add(right);
  max_multi_left_ = std::max({max_multi_left_, a, b});
}

void M2MU32::register_path(uint32_t left, uint32_t right) {
  if (uint32_t* slot = slot_of(right); slot != nullptr && *slot != NO_LEFT) {
    if (*slot == left) return;
    make_multi(right, *slot, left);
    *slot = NO_LEFT;
    ++pair_count_;
    return;
  }
  if (!loose_.empty()) {
    if (auto it = loose_.find(right); it != loose_.end()) {
      if (it->second == left) return;
      make_multi(right, it->second, left);
      loose_.erase(it);
      note_loose_removed(right);
      ++pair_count_;
      return;
    }
  }
  if (!multi_.empty()) {
    if (auto it = multi_.find(right); it != multi_.end()) {
      if (it->second.add(left)) {
        ++pair_count_;
        max_multi_left_ = std::max(max_multi_left_, left);
      }
      return;
    }
  }
  place_single(right, left);
  ++pair_count_;
}

bool M2MU32::remove_pair(uint32_t left, uint32_t right) {
  if (uint32_t* slot = slot_of(right); slot != nullptr && *slot != NO_LEFT) {
    if (*slot != left) return false;
    *slot = NO_LEFT;
    --pair_count_;
    return true;
  }
  if (auto it = loose_.find(right); it != loose_.end()) {
    if (it->second != left) return false;
    loose_.erase(it);
    note_loose_removed(right);
    --pair_count_;
    return true;
  }
  auto it = multi_.find(right);
  if (it == multi_.end() || !it->second.remove(left)) return false;
  --pair_count_;
  if (it->second.cardinality() <= 1) {
    // Back to a single left: moved to the fast single-left form, placed before the set goes. Should there be no
    // memory for that, the set keeps its one left (read alike) until that one goes too.
    if (it->second.cardinality() == 1) {
      try {
        place_single(right, it->second.first());
      } catch (const std::bad_alloc&) {
        return true;
      }
    }
    multi_.erase(it);
    multi_rights_.remove(right);
  }
  return true;
}

Bitmap M2MU32::lefts_of(uint32_t right) const {
  Bitmap out;
  if (const uint32_t* slot = slot_of(right); slot != nullptr && *slot != NO_LEFT) {
    out.add(*slot);
  } else if (auto it = loose_.find(right); it != loose_.end()) {
    out.add(it->second);
  } else if (auto multi = multi_.find(right); multi != multi_.end()) {
    multi->second.or_into(out);
  }
  return out;
}

size_t M2MU32::left_count(uint32_t right) const {
  if (const uint32_t* slot = slot_of(right); slot != nullptr && *slot != NO_LEFT) return 1;
  if (loose_.contains(right)) return 1;
  if (auto it = multi_.find(right); it != multi_.end()) return it->second.cardinality();
  return 0;
}

bool M2MU32::has_right(uint32_t right) const { return left_count(right) != 0; }

void M2MU32::paged_lefts_into(const Bitmap& rights, Bitmap& out) const {
  // One array read per right, no hashing. Ascending rights: no right at or
  // past paged_end has a page.
  const uint64_t paged_end = static_cast<uint64_t>(pages_.size()) << PAGE_BITS;
  auto visit = [&](auto&& emit) {
    for_each_batched(
        rights,
        [&](uint32_t right) {
          if (right >= paged_end) return false;
          const Page* page = pages_[right >> PAGE_BITS].get();
          if (page != nullptr) {
            const uint32_t left = page->left[right & PAGE_MASK];
            if (left != NO_LEFT) emit(left);
          }
          return true;
        },
        [&](uint32_t right) {
          if (right >= paged_end) return;
          if (const Page* page = pages_[right >> PAGE_BITS].get()) __builtin_prefetch(&page->left[right & PAGE_MASK]);
        });
  };

  // Lefts come in the order of their rights, which for parents created far
  // from their children is random order; random bulk adds into Roaring array
  // containers shift memory on every id. When the lookup is large next to the
  // range of lefts, mark them in a plain bit array instead and hand Roaring
  // the ids already sorted.
  const size_t words = mark_words();
  if (words <= MAX_MARK_WORDS && words <= roaring_bitmap_get_cardinality(&rights.roaring) / 2) {
    std::vector<uint64_t> marks(words, 0);
    visit([&](uint32_t left) { marks[left >> 6] |= uint64_t{1} << (left & 63); });
    BatchAdder adder(out);
    for (size_t w = 0; w < words; ++w) {
      for (uint64_t bits = marks[w]; bits != 0; bits &= bits - 1) {
        adder.push(static_cast<uint32_t>((w << 6) + std::countr_zero(bits)));
      }
    }
  } else {
    BatchAdder adder(out);
    visit([&](uint32_t left) { adder.push(left); });
  }
}

void M2MU32::multi_lefts_into(const Bitmap& rights, Bitmap& out) const {
  // One bitmap intersection finds the rights with several lefts. A shared object held by thousands of outer objects
  // would cost one union per right, each touching every container of the answer; instead every left is marked (or
  // copied out) and the lot is added in order in one pass.
  const Bitmap hits = rights & multi_rights_;
  if (hits.isEmpty()) return;
  // Pass one finds each hit's set (the table slots of a batch fetched before the first is read) and reads one id per
  // line of the set's ids; pass two reads them all, by then in cache: each lookup's misses overlap the others' instead
  // of following them. Reads, not prefetches: after a large write every set's page misses the TLB, and prefetching
  // the ids instead left pass two waiting on them (measured: a quarter more time cold).
  std::vector<const LeftSet*> sets;
  sets.reserve(hits.cardinality());
  uint64_t total = 0;
  uint32_t touched = 0;
  for_each_batched(
      hits,
      [&](uint32_t right) {
        const LeftSet& set = multi_.find(right)->second;
        touched ^= set.touch();
        total += set.cardinality();
        sets.push_back(&set);
        return true;
      },
      [&](uint32_t right) { multi_.prefetch(right); });
  asm volatile("" : : "r"(touched));  // the touches are kept for their loads

  // Into `out` itself when it is empty (as when no right has a single left), else through a bitmap of their own.
  Bitmap found;
  Bitmap& target = out.isEmpty() ? out : found;
  // Lefts dense next to their range are marked in a plain bit array, from which each chunk's container is made.
  const size_t words = (static_cast<size_t>(max_multi_left_) >> 6) + 1;
  if (words <= MAX_MARK_WORDS && words <= total * 4) {
    std::vector<uint64_t> marks(words, 0);
    auto mark = [&marks](uint32_t left) { marks[left >> 6] |= uint64_t{1} << (left & 63); };
    for (const LeftSet* set : sets) {
      if (set->bitmap() != nullptr) {
        set->for_each(mark);
      } else {
        for (uint32_t left : set->array()) mark(left);
      }
    }
    add_marked_ids(&target.roaring, marks.data(), marks.size());
  } else {
    std::vector<uint32_t> lefts;
    lefts.reserve(total);
    for (const LeftSet* set : sets) {
      if (const Bitmap* bitmap = set->bitmap()) {
        const size_t before = lefts.size();
        lefts.resize(before + bitmap->cardinality());
        roaring_bitmap_to_uint32_array(&bitmap->roaring, lefts.data() + before);
      } else {
        lefts.insert(lefts.end(), set->array().begin(), set->array().end());
      }
    }
    std::sort(lefts.begin(), lefts.end());
    lefts.erase(std::unique(lefts.begin(), lefts.end()), lefts.end());
    add_ids(&target.roaring, lefts.data(), lefts.size());
  }
  if (&target == &found) out |= found;
}

Bitmap M2MU32::get_parent_from_ids(const Bitmap& rights) const {
  Bitmap out;
  if (pair_count_ == 0 || roaring_bitmap_is_empty(&rights.roaring)) return out;

  if (!pages_.empty()) paged_lefts_into(rights, out);

  // Loose rights: walk whichever of the two sets is smaller.
  if (!loose_.empty()) {
    BatchAdder adder(out);
    if (loose_.size() <= roaring_bitmap_get_cardinality(&rights.roaring)) {
      for (const auto& [right, left] : loose_) {
        if (roaring_bitmap_contains(&rights.roaring, right)) adder.push(left);
      }
    } else {
      for_each_batched(rights, [&](uint32_t right) {
        if (auto it = loose_.find(right); it != loose_.end()) adder.push(it->second);
        return true;
      });
    }
  }

  if (!multi_.empty()) multi_lefts_into(rights, out);
  return out;
}

Bitmap M2MU32::get_children_from_ids(const Bitmap& lefts) const {
  Bitmap out;
  if (pair_count_ == 0 || roaring_bitmap_is_empty(&lefts.roaring)) return out;
  {
    BatchAdder adder(out);
    if (!pages_.empty()) {
      // Testing each paged left against a plain bit array of lefts beats a
      // Roaring lookup per pair once there are many pairs.
      const size_t words = mark_words();
      std::vector<uint64_t> marks;
      if (words <= MAX_MARK_WORDS && words <= pair_count_) {
        marks.assign(words, 0);
        for_each_batched(lefts, [&](uint32_t left) {
          if (left > max_paged_left_) return false;
          marks[left >> 6] |= uint64_t{1} << (left & 63);
          return true;
        });
      }
      auto wanted = [&](uint32_t left) {
        if (marks.empty()) return roaring_bitmap_contains(&lefts.roaring, left);
        return left <= max_paged_left_ && ((marks[left >> 6] >> (left & 63)) & 1) != 0;
      };
      for (size_t index = 0; index < pages_.size(); ++index) {
        const Page* page = pages_[index].get();
        if (page == nullptr) continue;
        const uint32_t first = static_cast<uint32_t>(index) << PAGE_BITS;
        for (uint32_t k = 0; k < PAGE_SIZE; ++k) {
          const uint32_t left = page->left[k];
          if (left != NO_LEFT && wanted(left)) adder.push(first + k);
        }
      }
    }
    for (const auto& [right, left] : loose_) {
      if (roaring_bitmap_contains(&lefts.roaring, left)) adder.push(right);
    }
    for (const auto& [right, set] : multi_) {
      if (intersects(set, lefts)) adder.push(right);
    }
  }
  return out;
}

size_t M2MU32::keep_lefts(const Bitmap& keep) {
  std::vector<std::pair<uint32_t, uint32_t>> gone;
  for_each_pair([&](uint32_t left, uint32_t right) {
    if (!keep.contains(left)) gone.emplace_back(left, right);
  });
  // Removed after the walk: a removal may move a right between the three places.
  for (const auto& [left, right] : gone) remove_pair(left, right);
  multi_.compact_if_sparse();
  return gone.size();
}

Bitmap M2MU32::rights() const {
  Bitmap out;
  {
    BatchAdder adder(out);
    for (size_t index = 0; index < pages_.size(); ++index) {
      const Page* page = pages_[index].get();
      if (page == nullptr) continue;
      const uint32_t first = static_cast<uint32_t>(index) << PAGE_BITS;
      for (uint32_t k = 0; k < PAGE_SIZE; ++k) {
        if (page->left[k] != NO_LEFT) adder.push(first + k);
      }
    }
    for (const auto& entry : loose_) adder.push(entry.first);
  }
  out |= multi_rights_;
  return out;
}

}  // namespace vostrel
