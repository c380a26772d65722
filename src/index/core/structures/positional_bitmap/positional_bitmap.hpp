// PositionalBitmap: strings laid out on a row of per-position byte bitmaps for exact, prefix, suffix and substring matches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/positional_bitmap/character_map.hpp"

namespace vostrel {

// Placement. With N = 2k positions a string of L >= 1 bytes occupies
//   start(N, L) = k - L/2 - 1  ..  end = k + (L+1)/2 - 2.
// The row is always kept wide enough that the start is never negative
// (k >= L/2 + 1, see positions_for), and growing it by 2H positions puts H new
// positions on each side, so stored strings and k both move by H and every
// string stays exactly where the rule puts it for the current N. Hence:
//   - every start lies in [0, k-1] and every end in [k-1, N-2];
//   - starts move left and ends move right as L grows;
//   - the only position holding a start and the end of a different string is
//     k-1: one-byte strings start (and end) there, two-byte strings end there.
// The matches derive their windows from these facts.
//
// Each id holds at most one string here (one value per attribute). The structure
// has no lock: writers hold the owner's write lock, matches its read lock, and
// matches touch no shared scratch state, so any number may run at once.
//
// `maps` holds positions by value: a grow builds the wider row once and moves
// each old position into place (one move per position, no rotate). Each position
// holds only the byte values that occur there (see CharacterMap).
//
// The structure holds only its sets: a bulk writer keeps its own buffers for the
// length of a batch and hands each (position, key) its ids with add_many.
class PositionalBitmap {
 public:
  std::vector<CharacterMap> maps;  // one per position; size N, always even
  Bitmap empty_strings;            // ids whose string is empty

  // Number of positions N.
  size_t positions() const { return maps.size(); }

  // Smallest row (even) that holds a string of `len` >= 1 bytes: 2 * (len/2 + 1).
  static size_t positions_for(size_t len) { return 2 * (len / 2 + 1); }

  // Whether a string of `len` bytes can be placed in the current row (always for 0).
  bool fits(size_t len) const { return len == 0 || maps.size() >= positions_for(len); }

  // Placement start of a string of `len` >= 1 bytes among `n` positions: n/2 - len/2 - 1.
  // Requires n >= positions_for(len); throws InternalError otherwise.
  static size_t start(size_t n, size_t len);

  // Grow the row so that a string of `len` bytes fits; no-op when it already does.
  // Callers may call it unconditionally (a row of N == len positions is too narrow).
  void expand_map(size_t len);

  // Store string `s` for `id`, growing the row first when needed.
  void insert(std::string_view s, uint32_t id);

  // Remove string `s` of `id`. Only when `id` holds exactly `s` is anything
  // touched (returns true); otherwise nothing changes and it returns false.
  bool remove(std::string_view s, uint32_t id);

  // Bulk form of insert for strings in ascending id order (each id once): the entries of a run of strings are
  // listed per (position, key) and each list goes in with one add_many. Throws when memory runs out, leaving the
  // strings stored so far.
  void insert_rising(std::span<const std::pair<uint32_t, std::string_view>> texts);

  // Bulk form of insert for a writer that buffered ids per (position, key): adds
  // `count` ids to key `key` (a byte, or CharacterMap::BOUNDARY) of `position`,
  // which must exist (expand_map and start() tell the writer where strings go).
  void add_many(size_t position, unsigned key, const uint32_t* ids, size_t count);
  // Bulk form of inserting empty strings.
  void add_many_empty(const uint32_t* ids, size_t count);

  // Ids whose string equals q.
  Bitmap exact(std::string_view q) const;
  // Ids whose string starts with q (empty q: every id holding a string).
  Bitmap prefix(std::string_view q) const;
  // Ids whose string ends with q (empty q: every id holding a string).
  Bitmap suffix(std::string_view q) const;
  // Ids whose string contains q (empty q: every id holding a string).
  Bitmap substring(std::string_view q) const;
  // Every id holding a string, empty ones included.
  Bitmap all_strings() const;
  // Whether no id is stored at all.
  bool is_empty() const;

  // Keep only the ids in `keep` (every position's keys and the empty-string set).
  void keep_only(const IdFilter& keep);
  void keep_only(const Bitmap& keep) { keep_only(IdFilter(keep)); }

  // OR `other`'s stored strings and empty strings into this one.
  // Grows this row to at least other's width and shifts other's positions by half
  // the difference, so every merged string sits where the placement rule puts it.
  // With `only`, just the ids `only` holds are carried over.
  void union_with(const PositionalBitmap& other, const Bitmap* only = nullptr);

 private:
  // Grow to `n` positions (rounded up to even) keeping the stored strings centred.
  void grow_to(size_t n);
  // The ids of a byte / of the boundary at `pos`; null when none.
  const KeyIds* entry(size_t pos, unsigned char byte) const { return maps[pos].find(byte); }
  const KeyIds* boundary(size_t pos) const { return maps[pos].find(CharacterMap::BOUNDARY); }
};

}  // namespace vostrel
