// PositionalBitmap: placement, growth, insertion, removal and the four string matches.
#include "index/core/structures/positional_bitmap/positional_bitmap.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "index/core/structures/bitmap_ops/and_many.hpp"
#include "index/internal_error.hpp"

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

// The bitmaps one candidate position must all contain, intersected smallest
// first so every step works on the smallest set so far. One instance is reused
// across the candidates of a match so its list is allocated once.
class Candidate {
 public:
  explicit Candidate(size_t expected_parts) { parts_.reserve(expected_parts); }

  void reset() { parts_.clear(); }

  // Add one bitmap; false when it is empty, i.e. the candidate cannot match.
  bool add(const Bitmap& bitmap) {
    uint64_t cardinality = roaring_bitmap_get_cardinality(&bitmap.roaring);
    if (cardinality == 0) return false;
    parts_.emplace_back(cardinality, &bitmap.roaring);
    return true;
  }

  // Append the intersection of the added bitmaps, minus `exclude` when given,
  // to `pieces` unless it is empty. Stops at the first empty step.
  void intersect_into(std::vector<Bitmap>& pieces, const Bitmap* exclude = nullptr) {
    if (parts_.empty()) return;
    std::sort(parts_.begin(), parts_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    // One pass per chunk over all parts: dense chunks are counted once, not once per pairwise AND.
    std::vector<const roaring_bitmap_t*> ordered;
    ordered.reserve(parts_.size());
    for (const auto& part : parts_) ordered.push_back(part.second);
    Bitmap scratch = and_many(ordered);
    if (exclude != nullptr && !roaring_bitmap_is_empty(&scratch.roaring)) {
      roaring_bitmap_andnot_inplace(&scratch.roaring, &exclude->roaring);
    }
    if (!roaring_bitmap_is_empty(&scratch.roaring)) pieces.push_back(std::move(scratch));
  }

 private:
  std::vector<std::pair<uint64_t, const roaring_bitmap_t*>> parts_;
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
    empty_strings.bitmap.add(id);
    return;
  }
  expand_map(s.size());
  const unsigned char* b = bytes_of(s);
  size_t p = start(maps.size(), s.size());
  for (size_t j = 0; j < s.size(); ++j) maps[p + j].entries[b[j]].bitmap.add(id);
  maps[p].entries[CharacterMap::BOUNDARY].bitmap.add(id);
  maps[p + s.size() - 1].entries[CharacterMap::BOUNDARY].bitmap.add(id);
}

bool PositionalBitmap::remove(std::string_view s, uint32_t id) {
  if (s.empty()) return empty_strings.bitmap.removeChecked(id);
  if (!fits(s.size())) return false;
  const unsigned char* b = bytes_of(s);
  size_t p = start(maps.size(), s.size());
  size_t last = p + s.size() - 1;
  // Verify first: clearing the bytes of a string the id does not hold would
  // corrupt the string it does hold.
  if (!boundary(p).contains(id) || !boundary(last).contains(id)) return false;
  // At k-1 a two-byte string ends where one-byte strings sit; its start at k-2 tells it apart.
  if (s.size() == 1 && p >= 1 && boundary(p - 1).contains(id)) return false;
  for (size_t j = 0; j < s.size(); ++j) {
    if (!entry(p + j, b[j]).contains(id)) return false;
  }
  for (size_t j = 0; j < s.size(); ++j) maps[p + j].entries[b[j]].bitmap.remove(id);
  maps[p].entries[CharacterMap::BOUNDARY].bitmap.remove(id);
  maps[last].entries[CharacterMap::BOUNDARY].bitmap.remove(id);
  return true;
}

void PositionalBitmap::push(std::string_view s, uint32_t id) {
  if (s.empty()) {
    empty_strings.bitmap.add(id);  // visible at once, like an unbuffered insert
    return;
  }
  expand_map(s.size());
  const unsigned char* b = bytes_of(s);
  size_t p = start(maps.size(), s.size());
  size_t last = p + s.size() - 1;
  maps[p].entries[CharacterMap::BOUNDARY].push(id);
  for (size_t j = 0; j < s.size(); ++j) maps[p + j].entries[b[j]].push(id);
  if (last != p) maps[last].entries[CharacterMap::BOUNDARY].push(id);
}

void PositionalBitmap::flush() {
  for (CharacterMap& map : maps) {
    map.entries[CharacterMap::BOUNDARY].flush();
    for (size_t b = 0; b < CharacterMap::BOUNDARY; ++b) map.entries[b].flush();
  }
  empty_strings.flush();
}

Bitmap PositionalBitmap::exact(std::string_view q) const {
  if (q.empty()) return empty_strings.bitmap;
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
  const Bitmap* two_byte_ends = (q.size() == 1 && m >= 1) ? &boundary(m - 1) : nullptr;
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
    const Bitmap* two_byte_ends = (p == k - 1 && p >= 1) ? &boundary(p - 1) : nullptr;
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
  size_t k = maps.size() / 2;
  parts.reserve(k + 1);
  for (size_t p = 0; p < k; ++p) {
    if (!roaring_bitmap_is_empty(&boundary(p).roaring)) parts.push_back(&boundary(p).roaring);
  }
  if (!roaring_bitmap_is_empty(&empty_strings.bitmap.roaring)) parts.push_back(&empty_strings.bitmap.roaring);
  return union_of(parts);
}

bool PositionalBitmap::is_empty() const {
  auto holds_nothing = [](const BufferedBitmap<32>& b) { return b.count == 0 && b.bitmap.isEmpty(); };
  if (!holds_nothing(empty_strings)) return false;
  for (const CharacterMap& map : maps) {
    if (!holds_nothing(map.entries[CharacterMap::BOUNDARY])) return false;
  }
  return true;
}

void PositionalBitmap::keep_only(const Bitmap& keep) {
  for (CharacterMap& map : maps) {
    for (BufferedBitmap<32>& e : map.entries) {
      if (!e.bitmap.isEmpty()) roaring_bitmap_and_inplace(&e.bitmap.roaring, &keep.roaring);
    }
  }
  roaring_bitmap_and_inplace(&empty_strings.bitmap.roaring, &keep.roaring);
}

void PositionalBitmap::union_with(const PositionalBitmap& other) {
  if (&other == this) return;
  grow_to(other.maps.size());
  // Both rows are even, so the offset is whole; other's string of length L at
  // k' - L/2 - 1 lands at k - L/2 - 1.
  size_t offset = (maps.size() - other.maps.size()) / 2;
  for (size_t i = 0; i < other.maps.size(); ++i) {
    CharacterMap& into = maps[i + offset];
    for (size_t b = 0; b <= CharacterMap::BOUNDARY; ++b) {
      const Bitmap& from = other.maps[i].entries[b].bitmap;
      if (!from.isEmpty()) roaring_bitmap_or_inplace(&into.entries[b].bitmap.roaring, &from.roaring);
    }
  }
  roaring_bitmap_or_inplace(&empty_strings.bitmap.roaring, &other.empty_strings.bitmap.roaring);
}

}  // namespace vostrel
