// PositionalBitmap: placement, growth, insertion, removal and the four string matches.
#include "index/core/structures/positional_bitmap/positional_bitmap.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "index/core/structures/bitmap_ops/add_ids.hpp"
#include "index/core/structures/bitmap_ops/and_many.hpp"
#include "index/core/structures/internal_error.hpp"

namespace vostrel {

namespace {

// Takes ownership of a bitmap returned by a CRoaring call that allocates one.
Bitmap adopt(roaring_bitmap_t* raw) {
  if (raw == nullptr) throw std::bad_alloc();
  return Bitmap(raw);
}

// Union of the given bitmaps (none: empty).
Bitmap union_of(const std::vector<const roaring_bitmap_t*>& parts) {
  if (parts.empty()) return Bitmap();
  if (parts.size() == 1) {
    Bitmap copy;
    if (!roaring_bitmap_overwrite(&copy.roaring, parts[0])) throw std::bad_alloc();
    return copy;
  }
  return adopt(roaring_bitmap_or_many(parts.size(), const_cast<const roaring_bitmap_t**>(parts.data())));
}

// Union of the per-position results a match produced; a single piece is moved out.
Bitmap union_of(std::vector<Bitmap>& pieces) {
  if (pieces.empty()) return Bitmap();
  if (pieces.size() == 1) return std::move(pieces[0]);
  std::vector<const roaring_bitmap_t*> parts;
  parts.reserve(pieces.size());
  for (const Bitmap& piece : pieces) parts.push_back(&piece.roaring);
  return union_of(parts);
}

// The sets one candidate position must all contain, intersected smallest first so
// every step works on the smallest set so far. One instance is reused across the
// candidates of a match so its list is allocated once.
class Candidate {
 public:
  explicit Candidate(size_t expected_parts) { parts_.reserve(expected_parts); }

  void reset() { parts_.clear(); }

  // Add one set; false when it is absent or empty, i.e. the candidate cannot match.
  bool add(const KeyIds* ids) {
    if (ids == nullptr) return false;
    uint64_t cardinality = ids->cardinality();
    if (cardinality == 0) return false;
    parts_.emplace_back(cardinality, ids);
    return true;
  }

  // Append the intersection of the added sets, minus `exclude` when given, to
  // `pieces` unless it is empty.
  void intersect_into(std::vector<Bitmap>& pieces, const KeyIds* exclude = nullptr) {
    if (parts_.empty()) return;
    std::sort(parts_.begin(), parts_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    if (parts_.front().first <= KeyIds::INLINE_CAPACITY) {
      // A tiny set bounds the answer: test its few ids against the other sets.
      Bitmap scratch;
      parts_.front().second->for_each([&](uint32_t id) {
        for (size_t pos = 1; pos < parts_.size(); ++pos) {
          if (!parts_[pos].second->contains(id)) return;
        }
        if (exclude == nullptr || !exclude->contains(id)) scratch.add(id);
      });
      if (!scratch.isEmpty()) pieces.push_back(std::move(scratch));
      return;
    }
    // Every set here is a bitmap: one pass per chunk over all parts, dense chunks
    // counted once, not once per pairwise AND.
    std::vector<const roaring_bitmap_t*> ordered;
    ordered.reserve(parts_.size());
    for (const auto& part : parts_) ordered.push_back(&part.second->bitmap()->roaring);
    Bitmap scratch = and_many(ordered);
    if (exclude != nullptr && !roaring_bitmap_is_empty(&scratch.roaring)) {
      if (const Bitmap* excluded = exclude->bitmap()) {
        roaring_bitmap_andnot_inplace(&scratch.roaring, &excluded->roaring);
      } else {
        exclude->for_each([&](uint32_t id) { scratch.remove(id); });
      }
    }
    if (!roaring_bitmap_is_empty(&scratch.roaring)) pieces.push_back(std::move(scratch));
  }

 private:
  std::vector<std::pair<uint64_t, const KeyIds*>> parts_;
};

const unsigned char* bytes_of(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

}  // namespace

size_t PositionalBitmap::start(size_t n, size_t len) {
  // Guards the unsigned formula: a row too narrow would wrap to a huge position.
  if (len == 0 || n < positions_for(len)) throw InternalError("string placed in a row too narrow for it");
  return n / 2 - len / 2 - 1;
}

void PositionalBitmap::grow_to(size_t n) {
  n += n & 1;
  if (n <= maps.size()) return;
  // Build the wider row first and move the old positions into its middle: if the
  // allocation fails nothing has changed, and each position is moved once.
  size_t shift = (n - maps.size()) / 2;
  std::vector<CharacterMap> grown(n);
  std::move(maps.begin(), maps.end(), grown.begin() + static_cast<std::ptrdiff_t>(shift));
  maps = std::move(grown);
}

void PositionalBitmap::expand_map(size_t len) {
  if (!fits(len)) grow_to(positions_for(len));
}

void PositionalBitmap::insert(std::string_view s, uint32_t id) {
  if (s.empty()) {
    empty_strings.add(id);
    return;
  }
  expand_map(s.size());
  const unsigned char* b = bytes_of(s);
  size_t p = start(maps.size(), s.size());
  for (size_t j = 0; j < s.size(); ++j) maps[p + j].add(b[j], id);
  maps[p].add(CharacterMap::BOUNDARY, id);
  maps[p + s.size() - 1].add(CharacterMap::BOUNDARY, id);
}

void PositionalBitmap::insert_rising(std::span<const std::pair<uint32_t, std::string_view>> texts) {
  // Longer strings go in one by one: listing them would widen every run's table of lists for a few rare strings.
  constexpr size_t LISTED_TEXT = 256;
  // Strings per run: their lists stay a few megabytes at most.
  constexpr size_t RUN = 16384;
  constexpr size_t KEYS = CharacterMap::BOUNDARY + 1;
  size_t longest = 0;
  for (const auto& [id, text] : texts) {
    if (text.size() > LISTED_TEXT) {
      insert(text, id);
    } else {
      longest = std::max(longest, text.size());
    }
  }
  std::vector<uint32_t> empties;
  std::vector<std::vector<uint32_t>> lists;
  size_t lowest = 0;  // the lowest position a listed string starts at, where the lists begin
  if (longest > 0) {
    expand_map(longest);
    lowest = start(maps.size(), longest);
    lists.resize((longest + 2) * KEYS);
  }
  const auto add_lists = [&] {
    for (size_t bucket = 0; bucket < lists.size(); ++bucket) {
      if (lists[bucket].empty()) continue;
      maps[lowest + bucket / KEYS].add_many(static_cast<unsigned>(bucket % KEYS), lists[bucket].data(),
                                            lists[bucket].size());
      lists[bucket].clear();
    }
  };
  size_t listed = 0;
  for (const auto& [id, text] : texts) {
    if (text.size() > LISTED_TEXT) continue;
    if (text.empty()) {
      empties.push_back(id);
      continue;
    }
    const size_t first = start(maps.size(), text.size()) - lowest;
    const unsigned char* b = bytes_of(text);
    for (size_t j = 0; j < text.size(); ++j) lists[(first + j) * KEYS + b[j]].push_back(id);
    lists[first * KEYS + CharacterMap::BOUNDARY].push_back(id);
    lists[(first + text.size() - 1) * KEYS + CharacterMap::BOUNDARY].push_back(id);
    if (++listed % RUN == 0) add_lists();
  }
  add_lists();
  add_many_empty(empties.data(), empties.size());
}

bool PositionalBitmap::remove(std::string_view s, uint32_t id) {
  if (s.empty()) return empty_strings.removeChecked(id);
  if (!fits(s.size())) return false;
  const unsigned char* b = bytes_of(s);
  size_t p = start(maps.size(), s.size());
  size_t last = p + s.size() - 1;
  // Verify first: clearing the bytes of a string the id does not hold would
  // corrupt the string it does hold.
  if (!maps[p].contains(CharacterMap::BOUNDARY, id) || !maps[last].contains(CharacterMap::BOUNDARY, id)) {
    return false;
  }
  // At k-1 a two-byte string ends where one-byte strings sit; its start at k-2 tells it apart.
  if (s.size() == 1 && p >= 1 && maps[p - 1].contains(CharacterMap::BOUNDARY, id)) return false;
  for (size_t j = 0; j < s.size(); ++j) {
    if (!maps[p + j].contains(b[j], id)) return false;
  }
  for (size_t j = 0; j < s.size(); ++j) maps[p + j].remove(b[j], id);
  maps[p].remove(CharacterMap::BOUNDARY, id);
  maps[last].remove(CharacterMap::BOUNDARY, id);
  return true;
}

void PositionalBitmap::add_many(size_t position, unsigned key, const uint32_t* ids, size_t count) {
  if (position >= maps.size() || key > CharacterMap::BOUNDARY) {
    throw InternalError("bulk add outside the positional row");
  }
  maps[position].add_many(key, ids, count);
}

void PositionalBitmap::add_many_empty(const uint32_t* ids, size_t count) {
  add_ids(&empty_strings.roaring, ids, count);
}

Bitmap PositionalBitmap::exact(std::string_view q) const {
  if (q.empty()) return empty_strings;
  if (!fits(q.size())) return Bitmap();
  const unsigned char* b = bytes_of(q);
  size_t m = start(maps.size(), q.size());
  size_t last = m + q.size() - 1;
  std::vector<Bitmap> pieces;
  Candidate candidate(q.size() + 2);
  if (!candidate.add(entry(m, b[0])) || !candidate.add(boundary(m))) return Bitmap();
  for (size_t j = 1; j < q.size(); ++j) {
    if (!candidate.add(entry(m + j, b[j]))) return Bitmap();
  }
  if (last != m && !candidate.add(boundary(last))) return Bitmap();
  // A one-byte query sits at k-1, where two-byte strings end; they are the ids
  // that also have a boundary at k-2 (their start).
  const KeyIds* two_byte_ends = (q.size() == 1 && m >= 1) ? boundary(m - 1) : nullptr;
  candidate.intersect_into(pieces, two_byte_ends);
  return union_of(pieces);
}

Bitmap PositionalBitmap::prefix(std::string_view q) const {
  if (q.empty()) return all_strings();
  if (!fits(q.size())) return Bitmap();
  const unsigned char* b = bytes_of(q);
  size_t k = maps.size() / 2;
  // Strings of length >= L start at [0, start(N, L)].
  size_t last_start = start(maps.size(), q.size());
  std::vector<Bitmap> pieces;
  Candidate candidate(q.size() + 1);
  for (size_t p = 0; p <= last_start; ++p) {
    candidate.reset();
    if (!candidate.add(boundary(p))) continue;
    bool alive = true;
    for (size_t j = 0; j < q.size() && alive; ++j) alive = candidate.add(entry(p + j, b[j]));
    if (!alive) continue;
    // Only a one-byte query reaches k-1, where two-byte strings end rather than start.
    const KeyIds* two_byte_ends = (p == k - 1 && p >= 1) ? boundary(p - 1) : nullptr;
    candidate.intersect_into(pieces, two_byte_ends);
  }
  return union_of(pieces);
}

Bitmap PositionalBitmap::suffix(std::string_view q) const {
  if (q.empty()) return all_strings();
  if (!fits(q.size())) return Bitmap();
  const unsigned char* b = bytes_of(q);
  size_t n = maps.size();
  size_t len = q.size();
  // Strings of length >= L end at [end(N, L), N-2]; no string starts after k-1
  // except as a one-byte string, which also ends there, so a boundary is an end.
  size_t first_end = start(n, len) + len - 1;
  std::vector<Bitmap> pieces;
  Candidate candidate(len + 1);
  for (size_t e = first_end; e <= n - 2; ++e) {
    candidate.reset();
    if (!candidate.add(boundary(e))) continue;
    bool alive = true;
    for (size_t j = 0; j < len && alive; ++j) alive = candidate.add(entry(e - j, b[len - 1 - j]));
    if (alive) candidate.intersect_into(pieces);
  }
  return union_of(pieces);
}

Bitmap PositionalBitmap::substring(std::string_view q) const {
  if (q.empty()) return all_strings();
  if (!fits(q.size())) return Bitmap();
  const unsigned char* b = bytes_of(q);
  size_t n = maps.size();
  // Occupied positions are [0, N-2], so an occurrence starts at [0, N-1-L].
  size_t last_start = n - 1 - q.size();
  std::vector<Bitmap> pieces;
  Candidate candidate(q.size());
  for (size_t p = 0; p <= last_start; ++p) {
    candidate.reset();
    bool alive = true;
    for (size_t j = 0; j < q.size() && alive; ++j) alive = candidate.add(entry(p + j, b[j]));
    if (alive) candidate.intersect_into(pieces);
  }
  return union_of(pieces);
}

Bitmap PositionalBitmap::all_strings() const {
  // Every non-empty string starts in [0, k-1].
  std::vector<const roaring_bitmap_t*> parts;
  std::vector<uint32_t> loose;  // ids of boundary sets still kept in place
  size_t k = maps.size() / 2;
  parts.reserve(k + 1);
  for (size_t p = 0; p < k; ++p) {
    const KeyIds* starts = boundary(p);
    if (starts == nullptr) continue;
    if (const Bitmap* bitmap = starts->bitmap()) {
      if (!bitmap->isEmpty()) parts.push_back(&bitmap->roaring);
    } else {
      starts->for_each([&](uint32_t id) { loose.push_back(id); });
    }
  }
  if (!roaring_bitmap_is_empty(&empty_strings.roaring)) parts.push_back(&empty_strings.roaring);
  Bitmap result = union_of(parts);
  if (!loose.empty()) result.addMany(loose.size(), loose.data());
  return result;
}

bool PositionalBitmap::is_empty() const {
  if (!empty_strings.isEmpty()) return false;
  for (const CharacterMap& map : maps) {
    if (map.find(CharacterMap::BOUNDARY) != nullptr) return false;
  }
  return true;
}

void PositionalBitmap::keep_only(const IdFilter& keep) {
  for (CharacterMap& map : maps) map.keep_only(keep);
  roaring_bitmap_and_inplace(&empty_strings.roaring, &keep.bitmap().roaring);
}

void PositionalBitmap::union_with(const PositionalBitmap& other, const Bitmap* only) {
  if (&other == this) return;
  grow_to(other.maps.size());
  // Both rows are even, so the offset is whole; other's string of length L at
  // k' - L/2 - 1 lands at k - L/2 - 1.
  size_t offset = (maps.size() - other.maps.size()) / 2;
  for (size_t i = 0; i < other.maps.size(); ++i) maps[i + offset].union_with(other.maps[i], only);
  if (only == nullptr) {
    roaring_bitmap_or_inplace(&empty_strings.roaring, &other.empty_strings.roaring);
  } else {
    empty_strings |= other.empty_strings & *only;
  }
}

}  // namespace vostrel
