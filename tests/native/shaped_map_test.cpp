// Attribute map with shared key shapes: random inserts against a model (values counted, so leaks and double
// destruction show), shapes shared by maps filled in the same order, and every way out of the tree (too many keys,
// too many branches, the tree's bound) keeping entries and order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "index/core/structures/locks/compact_mutex.hpp"
#include "index/core/structures/shaped_map/shaped_map.hpp"

#include "counted.hpp"

namespace vostrel {
namespace {

using testing::Counted;

using Map = ShapedMap<Counted>;

// A counted value that packs into a word while it is below 1000; the words it lives on as are counted apart.
struct Token : testing::Counted {
  using Counted::Counted;
  static inline int words = 0;
};

}  // namespace

template <>
struct ValuePacking<Token> {
  static constexpr bool ENABLED = true;
  static std::optional<uint64_t> word_of(const Token& token) noexcept {
    if (token.value < 0 || token.value >= 1000) return std::nullopt;
    return static_cast<uint64_t>(token.value) + 1;
  }
  static void give_to_word(Token&& token) noexcept {
    ++Token::words;
    token.value = -1;
  }
  static Token unpack(uint64_t word) noexcept {
    --Token::words;
    return Token(static_cast<int>(word - 1));
  }
  static void retain(uint64_t) noexcept { ++Token::words; }
  static void release(uint64_t) noexcept { --Token::words; }
  // A view is not counted: it owns nothing and is never destroyed, so it must not count as live either.
  static void view(uint64_t word, Token* storage) noexcept {
    std::construct_at(storage, static_cast<int>(word - 1));
    --Token::live;
  }
  static void prefetch(uint64_t) noexcept {}
  static bool names_shared(uint64_t) noexcept { return true; }
  static constexpr uint64_t SIDE = uint64_t{1} << 63;
  static uint64_t side_word(size_t slot) noexcept { return SIDE | slot; }
  static std::optional<size_t> side_slot(uint64_t word) noexcept {
    if ((word & SIDE) == 0) return std::nullopt;
    return static_cast<size_t>(word & 0xff);
  }
};

namespace {

std::vector<std::pair<uint32_t, int>> entries(const Map& map) {
  std::vector<std::pair<uint32_t, int>> out;
  map.for_each([&](const uint32_t& key, const Counted& value) { out.emplace_back(key, value.value); });
  return out;
}

// Inserts `keys` in order, each with its position as value.
void fill(Map& map, const std::vector<uint32_t>& keys) {
  for (size_t at = 0; at < keys.size(); ++at) map.insert(keys[at], Counted(static_cast<int>(at)));
}

TEST(ShapedMap, MapsFilledAlikeShareTheirKeysAndPayForValuesOnly) {
  {
    const std::vector<uint32_t> keys = {900, 901, 902, 903, 904, 905, 906, 907, 908, 909, 910, 911, 912, 913, 914,
                                        915, 916, 917, 918};
    Map first;
    Map second;
    EXPECT_EQ(first.heap_bytes(), 0u) << "an empty map allocates nothing";
    fill(first, keys);
    const size_t shapes = KeyShape::count();
    fill(second, keys);
    EXPECT_EQ(KeyShape::count(), shapes) << "the second map walks the shapes the first one made";
    EXPECT_TRUE(second.shares_keys());
    EXPECT_LE(second.heap_bytes(), 8 + keys.size() * sizeof(Counted)) << "no keys in the map's own block";
    EXPECT_EQ(entries(first), entries(second));

    // Replacing keeps the key's place and hands back the old value; the shape stays the same.
    std::optional<Counted> old = second.insert(905, Counted(-5));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->value, 5);
    old.reset();
    EXPECT_EQ(second.get(905)->value, -5);
    EXPECT_EQ(first.get(905)->value, 5) << "maps sharing a shape share no values";
    EXPECT_FALSE(second.get(919));
    EXPECT_EQ(Counted::live, 2 * static_cast<int>(keys.size()));
  }
  EXPECT_EQ(Counted::live, 0);
}

TEST(ShapedMap, ManyKeysLeaveTheTreeWithEntriesAndOrder) {
  {
    Map map;
    std::vector<std::pair<uint32_t, int>> expected;
    for (int i = 0; i < 80; ++i) {
      map.insert(static_cast<uint32_t>(7000 + 3 * i), Counted(i));
      expected.emplace_back(7000 + 3 * i, i);
      ASSERT_EQ(map.shares_keys(), static_cast<size_t>(i) < KeyShape::MAX_KEYS) << i;
      ASSERT_EQ(map.len(), static_cast<size_t>(i + 1));
      ASSERT_EQ(Counted::live, i + 1);
    }
    EXPECT_EQ(entries(map), expected);
    for (auto [key, value] : expected) EXPECT_EQ(map.get(key)->value, value);

    // A reservation past the bound leaves at once, keeping what is there.
    Map reserved;
    fill(reserved, {1, 2, 3});
    reserved.reserve(KeyShape::MAX_KEYS + 1);
    EXPECT_FALSE(reserved.shares_keys());
    EXPECT_EQ(entries(reserved), (std::vector<std::pair<uint32_t, int>>{{1, 0}, {2, 1}, {3, 2}}));
  }
  EXPECT_EQ(Counted::live, 0);
}

TEST(ShapedMap, ManyOrdersStopBranchingAtTheBound) {
  {
    std::vector<Map> maps(KeyShape::MAX_BRANCHES + 4);
    for (size_t at = 0; at < maps.size(); ++at) {
      fill(maps[at], {5000, static_cast<uint32_t>(6000 + at), 5001});  // one common first key, then many branches
    }
    size_t sharing = 0;
    for (size_t at = 0; at < maps.size(); ++at) {
      sharing += maps[at].shares_keys() ? 1 : 0;
      EXPECT_EQ(entries(maps[at]),
                (std::vector<std::pair<uint32_t, int>>{{5000, 0}, {static_cast<uint32_t>(6000 + at), 1}, {5001, 2}}));
    }
    EXPECT_EQ(sharing, KeyShape::MAX_BRANCHES) << "the first branches share, the rest keep their own keys";
  }
  EXPECT_EQ(Counted::live, 0);
}

// Random inserts (values replaced, maps copied and moved midway) against std::map and first-insertion order.
TEST(ShapedMap, MatchesModelOnRandomInserts) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 300; ++round) {
    const uint32_t key_range = 1 + rng() % 48;  // some maps stay in the tree, some leave it
    const int ops = 1 + static_cast<int>(rng() % 120);
    {
      Map map;
      std::map<uint32_t, int> model;
      std::vector<uint32_t> first_order;
      for (int op = 0; op < ops; ++op) {
        const uint32_t key = rng() % key_range * 2654435761u;
        const int value = static_cast<int>(rng() % 1000);
        auto found = model.find(key);
        std::optional<Counted> replaced = map.insert(key, Counted(value));
        ASSERT_EQ(replaced.has_value(), found != model.end());
        if (found == model.end()) {
          first_order.push_back(key);
          model.emplace(key, value);
        } else {
          ASSERT_EQ(replaced->value, found->second);
          found->second = value;
        }
        replaced.reset();
        if (rng() % 16 == 0) {
          Map copy = map;  // deep, then moved back over the original
          map = std::move(copy);
        }
        ASSERT_EQ(map.len(), model.size());
        ASSERT_EQ(Counted::live, static_cast<int>(model.size()));
      }
      for (uint32_t probe = 0; probe < key_range + 2; ++probe) {
        const uint32_t key = probe * 2654435761u;
        auto it = model.find(key);
        const Map& const_map = map;
        if (it == model.end()) {
          ASSERT_FALSE(const_map.get(key));
        } else {
          ASSERT_EQ(const_map.get(key)->value, it->second);
        }
      }
      auto got = entries(map);
      ASSERT_EQ(got.size(), first_order.size());
      for (size_t at = 0; at < got.size(); ++at) ASSERT_EQ(got[at].first, first_order[at]) << "first-insertion order";
    }
    ASSERT_EQ(Counted::live, 0);
  }
}

// Values that pack and values that do not, mixed at random (maps packed, widened, copied, out of the tree) against
// std::map; every value is held exactly once, as an instance or as a word.
TEST(ShapedMap, PackedValuesWidenAndCopyAgainstModel) {
  std::mt19937 rng(777);
  size_t packed_seen = 0;
  for (int round = 0; round < 300; ++round) {
    const uint32_t key_range = 1 + rng() % 40;
    const int wide_odds = 1 + static_cast<int>(rng() % 30);  // some maps never meet a value that does not pack
    {
      ShapedMap<Token> map;
      std::map<uint32_t, int> model;
      bool met_wide = false;  // a map that never met a value without a word form stays packed
      for (int op = 0; op < 60; ++op) {
        const uint32_t key = 500 + rng() % key_range;
        const int value = static_cast<int>(rng() % wide_odds) == 0 ? 5000 + op : static_cast<int>(rng() % 1000);
        met_wide = met_wide || value >= 1000;
        std::optional<Token> replaced = map.insert(key, Token(value));
        auto found = model.find(key);
        ASSERT_EQ(replaced.has_value(), found != model.end());
        if (replaced) {
          ASSERT_EQ(replaced->value, found->second) << "the replaced value, unpacked";
        }
        replaced.reset();
        model[key] = value;
        if (rng() % 8 == 0) {
          ShapedMap<Token> copy = map;
          map = std::move(copy);
        }
        ASSERT_EQ(Token::live + Token::words, static_cast<int>(model.size()));
      }
      packed_seen += map.packs_values() ? 1 : 0;
      if (map.shares_keys()) {
        if (!met_wide) {
          ASSERT_TRUE(map.packs_values());
        }
      }
      for (const auto& [key, value] : model) {
        const auto got = map.get(key);
        ASSERT_TRUE(got);
        ASSERT_EQ(got->value, value);
      }
      ASSERT_FALSE(map.get(499));
      std::map<uint32_t, int> walked;
      map.for_each([&](const uint32_t& key, const Token& token) { walked[key] = token.value; });
      ASSERT_EQ(walked, model);
    }
    ASSERT_EQ(Token::live, 0);
    ASSERT_EQ(Token::words, 0);
  }
  EXPECT_GT(packed_seen, 10u) << "the rounds met packed maps";
}

// Values without a word form wait beside the words while they are few; once they would be half the entries, the
// block widens for good. Either way every value reads back.
TEST(ShapedMap, FewValuesWithoutAWordFormKeepTheBlockPacked) {
  {
    std::vector<uint32_t> keys;
    for (uint32_t key = 0; key < 19; ++key) keys.push_back(61000 + key);
    ShapedMap<Token> map;
    for (size_t at = 0; at < keys.size(); ++at) map.insert(keys[at], Token(at == 3 || at == 11 ? 5000 : 7));
    EXPECT_TRUE(map.packs_values());
    EXPECT_LE(map.heap_bytes(), 8 + 19 * sizeof(uint64_t) + 4 * sizeof(Token)) << "a word each, two side slots";
    EXPECT_EQ(map.get(61003)->value, 5000);
    EXPECT_EQ(map.get(61004)->value, 7);
    // A side value replaced by one with a word form frees its slot; a word replaced by a side value takes one.
    map.insert(61003, Token(8));
    map.insert(61005, Token(6000));
    EXPECT_TRUE(map.packs_values());
    EXPECT_EQ(map.get(61003)->value, 8);
    EXPECT_EQ(map.get(61005)->value, 6000);
    EXPECT_EQ(map.get(61011)->value, 5000);
    for (uint32_t key = 61000; key < 61010; ++key) map.insert(key, Token(9000 + static_cast<int>(key)));
    EXPECT_FALSE(map.packs_values()) << "more than half without a word form";
    for (uint32_t key = 61000; key < 61010; ++key) EXPECT_EQ(map.get(key)->value, 9000 + static_cast<int>(key));
    EXPECT_EQ(map.get(61011)->value, 5000);
    EXPECT_EQ(map.get(61018)->value, 7);
    EXPECT_EQ(Token::live + Token::words, 19);
  }
  EXPECT_EQ(Token::live, 0);
  EXPECT_EQ(Token::words, 0);
}

// Threads taking the same new steps at once agree on one shape per step. Runs before the bound test below, which
// uses the tree up.
TEST(ShapedMap, ThreadsRacingForAStepShareOneShape) {
  constexpr int THREADS = 4;
  std::vector<std::vector<const void*>> seen(THREADS);
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
      threads.emplace_back([&seen, t] {
        for (uint32_t step = 0; step < 200; ++step) {
          const KeyShape* shape = KeyShape::root()->with(80000 + step % 8);  // eight first steps, met by all
          ASSERT_NE(shape, nullptr);
          seen[t].push_back(shape->with(90000 + step));
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  for (int t = 1; t < THREADS; ++t) EXPECT_EQ(seen[t], seen[0]);
}

// Readers without the map's lock (peek, checked by the lock's stamp) race a writer that grows, widens and finally
// unkeys the map. Blocks the writer outgrows are retired and freed only while no reader is inside (the `quiet`
// mutex plays the interpreter lock). A copy the stamp accepts must be a value some write stored under that key.
// Declared before the test that fills the shape tree: past its bound, new maps keep their own keys.
TEST(ShapedMap, PeeksCheckedByTheStampNeverSeeATornValue) {
  constexpr uint32_t KEYS = 40;  // past KeyShape::MAX_KEYS for the last rounds, so the map leaves the tree
  constexpr int READERS = 2;
  std::atomic<bool> done{false};
  std::atomic<long> accepted{0};
  std::atomic<long> wrong{0};
  {
    ShapedMap<Token> map;
    CompactMutex lock;
    std::mutex quiet;
    std::vector<std::thread> readers;
    for (int r = 0; r < READERS; ++r) {
      readers.emplace_back([&, r] {
        std::mt19937 rng(91 + r);
        while (!done.load(std::memory_order_relaxed)) {
          std::lock_guard inside(quiet);
          const uint32_t key = 700 + rng() % KEYS;
          const std::optional<uint32_t> stamp = lock.stamp();
          if (!stamp) continue;
          const auto unchanged = [&] { return lock.still(*stamp); };
          const std::optional<ShapedMap<Token>::Peeked> peeked = map.peek(key, unchanged);
          if (!peeked || !unchanged()) continue;
          using Found = ShapedMap<Token>::Peeked::Found;
          if (peeked->found == Found::Absent) continue;
          int value = 0;
          if (peeked->found == Found::Word) {
            value = static_cast<int>(peeked->word) - 1;
          } else {
            std::memcpy(&value, peeked->value + offsetof(Token, value), sizeof(value));
          }
          accepted.fetch_add(1, std::memory_order_relaxed);
          if (value < 0 || static_cast<uint32_t>(value) % KEYS != key - 700) wrong.fetch_add(1);
        }
      });
    }
    std::mt19937 rng(90);
    const auto write = [&](uint32_t key) {
      // Values keep key - 700 as their remainder; one in five has no word form, so blocks get side values and widen.
      const int value = static_cast<int>(key - 700 + KEYS * (rng() % 20) + (rng() % 5 == 0 ? KEYS * 125 : 0));
      ShapedMap<Token>::Retired retired;
      {
        std::lock_guard held(lock);
        map.insert(key, Token(value), &retired);
      }
      if (retired.holds_block()) {
        std::lock_guard inside(quiet);
        retired.reset();
      }
    };
    // At least 20 fills, and on until the readers have had their share of peeks (bounded by a deadline).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int fill = 0; fill < 20 || (accepted.load() < 20000 && std::chrono::steady_clock::now() < deadline);
         ++fill) {
      for (uint32_t added = 0; added < KEYS; ++added) {
        write(700 + added);
        for (int again = 0; again < 10; ++again) write(700 + static_cast<uint32_t>(rng()) % (added + 1));
        std::this_thread::yield();
      }
      EXPECT_FALSE(map.shares_keys()) << "the writer took the map out of the tree";
      std::lock_guard held(lock);
      std::lock_guard inside(quiet);
      map = ShapedMap<Token>();
    }
    done = true;
    for (std::thread& reader : readers) reader.join();
  }
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(accepted.load(), 0);
  EXPECT_EQ(Token::live, 0);
  EXPECT_EQ(Token::words, 0);
}

// Once the tree holds MAX_SHAPES shapes, new steps are refused and maps keep their own keys, still correct.
TEST(ShapedMap, TheTreeStopsGrowingAtItsBound) {
  for (uint32_t first = 0; KeyShape::count() < KeyShape::MAX_SHAPES; ++first) {
    ASSERT_NE(KeyShape::root()->with(1000000 + first), nullptr) << "the root has no bound of its own";
  }
  EXPECT_EQ(KeyShape::root()->with(999999), nullptr);
  EXPECT_EQ(KeyShape::count(), KeyShape::MAX_SHAPES);
  {
    Map map;
    fill(map, {3000000, 3000001, 3000002});
    EXPECT_FALSE(map.shares_keys());
    EXPECT_EQ(entries(map), (std::vector<std::pair<uint32_t, int>>{{3000000, 0}, {3000001, 1}, {3000002, 2}}));
    EXPECT_EQ(KeyShape::count(), KeyShape::MAX_SHAPES);
  }
  EXPECT_EQ(Counted::live, 0);
}

}  // namespace
}  // namespace vostrel
