// PositionalBitmap against a plain map of id -> string, with placement, bulk, merge and thread checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "index/core/structures/positional_bitmap/positional_bitmap.hpp"
#include "index/core/structures/internal_error.hpp"

namespace vostrel {
namespace {

using Model = std::map<uint32_t, std::string>;
using Ids = std::vector<uint32_t>;

Ids ids_of(const Bitmap& b) {
  Ids out(b.cardinality());
  b.toUint32Array(out.data());
  return out;
}

template <class Pred>
Ids model_ids(const Model& model, Pred pred) {
  Ids out;
  for (const auto& [id, s] : model) {
    if (pred(s)) out.push_back(id);
  }
  return out;
}

// Positions (first, last) whose boundary bitmap holds `id`.
std::vector<size_t> boundary_positions(const PositionalBitmap& pb, uint32_t id) {
  std::vector<size_t> out;
  for (size_t p = 0; p < pb.positions(); ++p) {
    if (pb.maps[p].contains(CharacterMap::BOUNDARY, id)) out.push_back(p);
  }
  return out;
}

// Every match agrees with the model on q, and the stored bits are exactly the model's strings.
void expect_matches(const PositionalBitmap& pb, const Model& model, const std::string& q) {
  SCOPED_TRACE("query '" + q + "' N=" + std::to_string(pb.positions()));
  EXPECT_EQ(ids_of(pb.exact(q)), model_ids(model, [&](const std::string& s) { return s == q; }));
  EXPECT_EQ(ids_of(pb.prefix(q)), model_ids(model, [&](const std::string& s) { return s.starts_with(q); }));
  EXPECT_EQ(ids_of(pb.suffix(q)), model_ids(model, [&](const std::string& s) { return s.ends_with(q); }));
  EXPECT_EQ(ids_of(pb.substring(q)),
            model_ids(model, [&](const std::string& s) { return s.find(q) != std::string::npos; }));
}

void expect_same_content(const PositionalBitmap& pb, const Model& model) {
  uint64_t bytes = 0, boundaries = 0, bits = 0, boundary_bits = 0;
  for (const auto& [id, s] : model) {
    bytes += s.size();
    boundaries += s.size() == 0 ? 0 : (s.size() == 1 ? 1 : 2);
  }
  for (const CharacterMap& map : pb.maps) {
    EXPECT_TRUE(map.validate());
    map.for_each([&](const KeyIds& ids) {
      (ids.key == CharacterMap::BOUNDARY ? boundary_bits : bits) += ids.cardinality();
    });
  }
  EXPECT_EQ(bits, bytes);  // no stale bytes left by removals
  EXPECT_EQ(boundary_bits, boundaries);
  EXPECT_EQ(ids_of(pb.all_strings()), model_ids(model, [](const std::string&) { return true; }));
  EXPECT_EQ(pb.is_empty(), model.empty());
  EXPECT_EQ(pb.positions() % 2, 0u);
}

// Random strings over a few ASCII letters (so matches collide) and multi-byte UTF-8 characters.
class StringSource {
 public:
  explicit StringSource(uint32_t seed) : rng_(seed) {}

  std::string make(size_t max_len) {
    static const char* pieces[] = {"a", "b", "c", "a", "b", "\xc3\xa9", "\xe6\x97\xa5", "\xf0\x9f\x98\x80"};
    size_t target = std::uniform_int_distribution<size_t>(0, max_len)(rng_);
    std::string s;
    while (s.size() < target) s += pieces[rng_() % 8];
    return s;
  }

  // A query: a byte slice of a stored string (prefix, suffix or middle), or a fresh short string.
  std::string query(const Model& model) {
    if (model.empty() || rng_() % 4 == 0) return make(4);
    auto it = model.begin();
    std::advance(it, rng_() % model.size());
    const std::string& s = it->second;
    size_t from = s.empty() ? 0 : rng_() % (s.size() + 1);
    size_t len = s.size() - from == 0 ? 0 : 1 + rng_() % (s.size() - from);
    switch (rng_() % 3) {
      case 0: return s.substr(0, from);
      case 1: return s.substr(from);
      default: return s.substr(from, len);
    }
  }

  std::mt19937& rng() { return rng_; }

 private:
  std::mt19937 rng_;
};

TEST(PositionalBitmap, PlacementAndGrowth) {
  PositionalBitmap pb;
  pb.insert("abc", 1);
  EXPECT_EQ(pb.positions(), 4u);
  EXPECT_EQ(boundary_positions(pb, 1), (std::vector<size_t>{0, 2}));
  // A six-byte string needs eight positions (one free on the left); the earlier
  // string moves right by two, to where start(8, 3) = 2 places it.
  pb.insert("abcdef", 2);
  EXPECT_EQ(pb.positions(), 8u);
  EXPECT_EQ(boundary_positions(pb, 1), (std::vector<size_t>{2, 4}));
  EXPECT_EQ(boundary_positions(pb, 2), (std::vector<size_t>{0, 5}));
  EXPECT_EQ(PositionalBitmap::start(8, 3), 2u);

  PositionalBitmap four;
  four.expand_map(2);
  EXPECT_EQ(four.positions(), 4u);
  four.insert("x", 1);
  four.insert("xy", 2);
  EXPECT_EQ(boundary_positions(four, 1), (std::vector<size_t>{1}));
  EXPECT_EQ(boundary_positions(four, 2), (std::vector<size_t>{0, 1}));
  four.expand_map(3);  // already fits: no growth
  EXPECT_EQ(four.positions(), 4u);
  EXPECT_THROW(PositionalBitmap::start(4, 4), InternalError);

  // A string as long as the row was before growth stays findable and removable.
  PositionalBitmap grown;
  grown.insert("abcd", 7);
  grown.insert(std::string(11, 'z'), 8);
  EXPECT_EQ(ids_of(grown.exact("abcd")), Ids{7});
  EXPECT_TRUE(grown.remove("abcd", 7));
  EXPECT_EQ(ids_of(grown.all_strings()), Ids{8});
}

TEST(PositionalBitmap, AmbiguousBoundariesAndFarOccurrences) {
  PositionalBitmap pb;
  Model model{{1, "ba"}, {2, "a"}, {3, "ab"}, {4, "abcdefgh"}, {5, ""}, {6, "hb"}};
  for (const auto& [id, s] : model) pb.insert(s, id);
  // "ba" ends where one-byte strings sit: neither exact nor prefix "a" may take it.
  EXPECT_EQ(ids_of(pb.exact("a")), Ids{2});
  EXPECT_EQ(ids_of(pb.prefix("a")), (Ids{2, 3, 4}));
  EXPECT_EQ(ids_of(pb.substring("h")), (Ids{4, 6}));
  EXPECT_EQ(ids_of(pb.prefix("abcdefgh")), Ids{4});
  for (const char* q : {"", "a", "b", "h", "gh", "abcdefgh", "abcdefghi", "abcdefghijklmnop"}) {
    expect_matches(pb, model, q);
  }
  // Removing a string the id does not hold changes nothing.
  EXPECT_FALSE(pb.remove("bb", 1));
  EXPECT_FALSE(pb.remove("abcdefgh", 3));
  EXPECT_FALSE(pb.remove("a", 1));
  EXPECT_FALSE(pb.remove("", 1));
  expect_same_content(pb, model);
}

TEST(PositionalBitmap, RandomOperationsMatchModel) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    StringSource source(seed);
    PositionalBitmap pb;
    Model model;
    // The longest length grows in phases, so the row widens between operations.
    for (size_t phase = 0; phase < 8; ++phase) {
      size_t max_len = phase < 6 ? 3 + phase * 4 : 70;
      for (int op = 0; op < 300; ++op) {
        uint32_t id = source.rng()() % 200;
        auto it = model.find(id);
        if (it != model.end()) {
          ASSERT_TRUE(pb.remove(it->second, id));
          model.erase(it);
        } else {
          // Mostly short strings, now and then one of the phase's longest.
          std::string s = source.make(source.rng()() % 8 == 0 ? max_len : 12);
          pb.insert(s, id);
          model[id] = s;
        }
      }
      expect_same_content(pb, model);
      for (int i = 0; i < 60; ++i) expect_matches(pb, model, source.query(model));
      expect_matches(pb, model, std::string(pb.positions(), 'a'));
      expect_matches(pb, model, std::string(pb.positions() + 3, 'b'));
    }
  }
}

TEST(PositionalBitmap, InsertRisingMatchesOneByOne) {
  for (uint32_t seed : {5u, 6u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    StringSource source(seed);
    PositionalBitmap rising;
    PositionalBitmap single;
    Model model;
    // Three batches over a row that already holds strings, with ids past a bulk run, empty strings, and strings
    // long enough to go in one by one (which widen the row under the listed ones).
    uint32_t next_id = 0;
    for (size_t batch = 0; batch < 3; ++batch) {
      std::vector<std::string> texts;
      std::vector<std::pair<uint32_t, std::string_view>> pairs;
      for (int i = 0; i < 20000; ++i) texts.push_back(source.make(source.rng()() % 500 == 0 ? 300 + batch * 200 : 9));
      for (const std::string& text : texts) {
        const uint32_t id = next_id;
        next_id += 1 + source.rng()() % 3;
        pairs.emplace_back(id, text);
        single.insert(text, id);
        model[id] = text;
      }
      rising.insert_rising(pairs);
      ASSERT_EQ(rising.positions(), single.positions());
      expect_same_content(rising, model);
      for (int i = 0; i < 30; ++i) expect_matches(rising, model, source.query(model));
    }
    for (size_t pos = 0; pos < rising.positions(); ++pos) {
      for (unsigned key = 0; key <= CharacterMap::BOUNDARY; ++key) {
        const KeyIds* a = rising.maps[pos].find(key);
        const KeyIds* b = single.maps[pos].find(key);
        ASSERT_EQ(a == nullptr, b == nullptr) << "position " << pos << " key " << key;
      }
    }
  }
}

// The ids one (position, key) holds, as a bitmap.
Bitmap ids_at(const PositionalBitmap& pb, size_t pos, unsigned key) {
  Bitmap out;
  if (const KeyIds* ids = pb.maps[pos].find(key)) ids->or_into(out);
  return out;
}

TEST(PositionalBitmap, BulkAddManyMergeAndKeep) {
  StringSource source(11);
  Model left, right;
  PositionalBitmap bulk, direct, narrow;
  // A writer's own buffers: ids per (position, key), handed over in one call each.
  std::map<std::pair<size_t, unsigned>, std::vector<uint32_t>> buffers;
  std::vector<uint32_t> empties;
  std::vector<std::pair<uint32_t, std::string>> batch;
  for (uint32_t id = 0; id < 400; ++id) {
    std::string s = source.make(id < 200 ? 30 : 6);
    if (id < 200) {
      batch.emplace_back(id, s);
      direct.insert(s, id);
      left[id] = s;
    } else {
      narrow.insert(s, id);
      right[id] = s;
    }
  }
  size_t longest = 0;
  for (const auto& [id, s] : batch) longest = std::max(longest, s.size());
  bulk.expand_map(longest);
  for (const auto& [id, s] : batch) {
    if (s.empty()) {
      empties.push_back(id);
      continue;
    }
    size_t p = PositionalBitmap::start(bulk.positions(), s.size());
    for (size_t j = 0; j < s.size(); ++j) buffers[{p + j, static_cast<unsigned char>(s[j])}].push_back(id);
    buffers[{p, CharacterMap::BOUNDARY}].push_back(id);
    buffers[{p + s.size() - 1, CharacterMap::BOUNDARY}].push_back(id);
  }
  for (const auto& [where, ids] : buffers) bulk.add_many(where.first, where.second, ids.data(), ids.size());
  bulk.add_many_empty(empties.data(), empties.size());
  ASSERT_EQ(bulk.positions(), direct.positions());
  for (size_t p = 0; p < bulk.positions(); ++p) {
    ASSERT_TRUE(bulk.maps[p].validate());
    ASSERT_EQ(bulk.maps[p].size(), direct.maps[p].size()) << p;
    for (unsigned key = 0; key <= CharacterMap::BOUNDARY; ++key) {
      ASSERT_EQ(ids_at(bulk, p, key), ids_at(direct, p, key)) << p << " " << key;
    }
  }
  expect_same_content(bulk, left);
  EXPECT_THROW(bulk.add_many(bulk.positions(), 'a', empties.data(), empties.size()), InternalError);

  // Merge both ways: the wider into the narrower and the narrower into the wider.
  Model both = left;
  both.insert(right.begin(), right.end());
  PositionalBitmap wide_first = direct, narrow_first = narrow;
  wide_first.union_with(narrow);
  narrow_first.union_with(direct);
  for (const PositionalBitmap* merged : {&wide_first, &narrow_first}) {
    expect_same_content(*merged, both);
    for (int i = 0; i < 40; ++i) expect_matches(*merged, both, source.query(both));
  }

  Bitmap keep;
  Model kept;
  for (const auto& [id, s] : both) {
    if (id % 3 == 0) {
      keep.add(id);
      kept[id] = s;
    }
  }
  wide_first.keep_only(keep);
  expect_same_content(wide_first, kept);
  for (int i = 0; i < 40; ++i) expect_matches(wide_first, kept, source.query(kept));
}

// Readers under a shared lock see unchanged answers for a fixed set of ids while
// a writer keeps inserting, removing and widening the row under the exclusive lock.
TEST(PositionalBitmap, ConcurrentReadersWithWriter) {
  PositionalBitmap pb;
  std::shared_mutex lock;
  Model fixed;
  StringSource source(5);
  for (uint32_t id = 0; id < 300; ++id) {
    fixed[id] = source.make(10);
    pb.insert(fixed[id], id);
  }
  std::vector<std::string> queries;
  for (int i = 0; i < 20; ++i) queries.push_back(source.query(fixed));
  Bitmap fixed_ids;
  fixed_ids.addRange(0, 300);

  // Fixed amounts of work on both sides: a reader-preferring lock can delay the
  // writer but never keep either side from finishing.
  std::atomic<int> mismatches{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      for (int round = 0; round < 40; ++round) {
        for (const std::string& q : queries) {
          Ids want = model_ids(fixed, [&](const std::string& s) { return s.find(q) != std::string::npos; });
          Ids want_prefix = model_ids(fixed, [&](const std::string& s) { return s.starts_with(q); });
          std::shared_lock guard(lock);
          Bitmap got = pb.substring(q) & fixed_ids;
          Bitmap got_prefix = pb.prefix(q) & fixed_ids;
          guard.unlock();
          if (ids_of(got) != want || ids_of(got_prefix) != want_prefix) ++mismatches;
        }
        std::this_thread::yield();
      }
    });
  }
  StringSource writer_source(6);
  for (uint32_t round = 0; round < 400; ++round) {
    std::string s = writer_source.make(round / 4);
    uint32_t id = 1000 + round;
    std::unique_lock guard(lock);
    pb.insert(s, id);
    bool removed = round % 2 != 0 || pb.remove(s, id);
    guard.unlock();
    EXPECT_TRUE(removed);
    std::this_thread::yield();
  }
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace vostrel
