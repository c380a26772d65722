// Attribute-name interner: dense ids against a map model, hash collisions, snapshot publication and lifetime,
// and concurrent interning with lock-free readers.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "index/core/structures/string_interner/interner.hpp"

namespace vostrel {
namespace {

// Names of 0 to 40 bytes over a small alphabet, so prefixes and equal lengths are common.
std::string random_name(std::mt19937& rng) {
  std::string name(rng() % 41, ' ');
  for (char& c : name) c = static_cast<char>('a' + rng() % 4);
  return name;
}

TEST(StrInterner, ProcessInternerStartsAtZero) {
  StrInterner& global = INTERNER();
  EXPECT_EQ(&global, &INTERNER());
  EXPECT_EQ(global.intern("first"), 0u);
  EXPECT_EQ(global.intern("second"), 1u);
  EXPECT_EQ(global.intern("first"), 0u);
  EXPECT_EQ(global.load()->name(1), "second");
}

TEST(StrInterner, KnownNamesPublishNothingAndEmptyNameIsANameToo) {
  StrInterner interner;
  EXPECT_EQ(interner.publish_count(), 1u);
  EXPECT_EQ(interner.load()->size(), 0u);
  EXPECT_FALSE(interner.get("x").has_value());

  EXPECT_EQ(interner.intern("x"), 0u);
  EXPECT_EQ(interner.intern(""), 1u);
  EXPECT_EQ(interner.intern("y"), 2u);
  const uint64_t published = interner.publish_count();
  auto before = interner.load();
  EXPECT_EQ(interner.intern(""), 1u);
  EXPECT_EQ(interner.intern("x"), 0u);
  EXPECT_EQ(interner.publish_count(), published);
  EXPECT_EQ(interner.load().get(), before.get());
  EXPECT_EQ(interner.get(""), std::optional<uint32_t>(1));
  EXPECT_EQ(before->name(1), "");
  // Embedded zero bytes are part of the name.
  EXPECT_EQ(interner.intern(std::string_view("x\0z", 3)), 3u);
  EXPECT_EQ(interner.get("x"), std::optional<uint32_t>(0));
}

// Random names against a map model: ids in first-intern order, every snapshot complete and never changing.
TEST(StrInterner, MatchesModelAndSnapshotsStayFrozen) {
  std::mt19937 rng(2024);
  StrInterner interner(4);  // small room, so the table grows many times
  std::map<std::string, uint32_t> model;
  std::vector<std::string> by_id;
  std::vector<std::pair<std::shared_ptr<const ImmutableInterner>, size_t>> kept;
  for (int step = 0; step < 3000; ++step) {
    std::string name = random_name(rng);
    auto [it, is_new] = model.try_emplace(name, static_cast<uint32_t>(by_id.size()));
    if (is_new) by_id.push_back(name);
    ASSERT_EQ(interner.intern(name), it->second);
    auto snapshot = interner.load();
    ASSERT_EQ(snapshot->size(), by_id.size());
    ASSERT_EQ(snapshot->get(name), std::optional<uint32_t>(it->second));
    if (step % 300 == 0) kept.emplace_back(snapshot, by_id.size());
  }
  auto last = interner.load();
  for (uint32_t id = 0; id < by_id.size(); ++id) {
    ASSERT_EQ(last->name(id), by_id[id]);
    ASSERT_EQ(last->get(by_id[id]), std::optional<uint32_t>(id));
  }
  for (const auto& [snapshot, size] : kept) {
    ASSERT_EQ(snapshot->size(), size);
    for (uint32_t id = 0; id < by_id.size(); ++id) {
      ASSERT_EQ(snapshot->get(by_id[id]), id < size ? std::optional<uint32_t>(id) : std::nullopt);
    }
    // Name bytes are allocated once and shared by every snapshot.
    if (size > 0) {
      EXPECT_TRUE(snapshot->interned(0).same_buffer(last->interned(0)));
    }
  }
}

TEST(StrInterner, ManyNamesInternWithoutCopyingAllIntoEachSnapshot) {
  // Each new name publishes a snapshot: copying every name into each would make this take minutes. Every kept
  // snapshot still answers for exactly the names interned before it.
  StrInterner interner;
  constexpr uint32_t NAMES = 150000;
  std::vector<std::shared_ptr<const ImmutableInterner>> kept;
  for (uint32_t i = 0; i < NAMES; ++i) {
    ASSERT_EQ(interner.intern("name_" + std::to_string(i)), i);
    if (i % 9973 == 0) kept.push_back(interner.load());
  }
  auto last = interner.load();
  ASSERT_EQ(last->size(), NAMES);
  for (uint32_t i = 0; i < NAMES; ++i) {
    ASSERT_EQ(last->get("name_" + std::to_string(i)), std::optional<uint32_t>(i));
    ASSERT_EQ(last->name(i), "name_" + std::to_string(i));
  }
  EXPECT_FALSE(last->get("name_" + std::to_string(NAMES)).has_value());
  for (const auto& snapshot : kept) {
    const auto size = static_cast<uint32_t>(snapshot->size());
    for (uint32_t i = 0; i < NAMES; i += 97) {
      ASSERT_EQ(snapshot->get("name_" + std::to_string(i)), i < size ? std::optional<uint32_t>(i) : std::nullopt);
    }
  }
}

TEST(StrInterner, OldSnapshotIsFreedWithItsLastHolder) {
  StrInterner interner;
  interner.intern("a");
  std::weak_ptr<const ImmutableInterner> old = interner.load();
  auto guard = old.lock();
  interner.intern("b");  // publishes and moves this thread's cache to the new snapshot
  ASSERT_FALSE(old.expired()) << "a guard keeps its snapshot alive";
  EXPECT_FALSE(guard->get("b").has_value());
  guard.reset();
  EXPECT_TRUE(old.expired());
}

// Equal (hash, length) keys: the table keeps every id of the key, in order, and each name finds its own id.
TEST(NameTable, CollidingKeysKeepAllIdsInOrderAcrossGrowth) {
  std::mt19937 rng(99);
  NameTable table;  // no room: grows from empty
  std::map<std::pair<uint64_t, uint32_t>, std::vector<uint32_t>> model;
  constexpr uint32_t IDS = 5000;
  for (uint32_t id = 0; id < IDS; ++id) {
    // A few hashes and lengths only, so most keys collide; some hashes share a bucket with different lengths.
    uint64_t hash = rng() % 600;
    uint32_t length = rng() % 3;
    table.add(hash, length, id);
    model[{hash, length}].push_back(id);
  }
  EXPECT_EQ(table.id_count(), IDS);
  EXPECT_EQ(table.key_count(), model.size());
  for (const auto& [key, ids] : model) {
    std::vector<uint32_t> seen;
    auto none = table.find(key.first, key.second, [&](uint32_t id) {
      seen.push_back(id);
      return false;
    });
    EXPECT_FALSE(none.has_value());
    ASSERT_EQ(seen, ids);
    EXPECT_EQ(table.find(key.first, key.second, [&](uint32_t id) { return id == ids.back(); }), ids.back());
  }
  EXPECT_FALSE(table.find(12345, 0, [](uint32_t) { return true; }).has_value());
  EXPECT_FALSE(NameTable(16).find(1, 1, [](uint32_t) { return true; }).has_value());
}

TEST(MutableInterner, NamesWithEqualHashAndLengthGetDistinctIds) {
  MutableInterner side(8);
  const uint64_t forged = 0xdeadbeefULL;  // the same hash for different names of one length
  EXPECT_EQ(side.intern("pre"), 0u);
  EXPECT_EQ(side.intern_hashed("abc", forged), 1u);
  EXPECT_EQ(side.intern_hashed("xyz", forged), 2u);
  EXPECT_EQ(side.intern_hashed("abc", forged), 1u);
  EXPECT_EQ(side.intern_hashed("qqq", forged), 3u);
  ImmutableInterner frozen = side.freeze();
  EXPECT_EQ(frozen.get_hashed("abc", forged), std::optional<uint32_t>(1));
  EXPECT_EQ(frozen.get_hashed("xyz", forged), std::optional<uint32_t>(2));
  EXPECT_EQ(frozen.get_hashed("qqq", forged), std::optional<uint32_t>(3));
  EXPECT_FALSE(frozen.get_hashed("nop", forged).has_value());
  EXPECT_EQ(frozen.get("pre"), std::optional<uint32_t>(0));
  EXPECT_EQ(frozen.size(), 4u);
  EXPECT_EQ(frozen.name(2), "xyz");
}

// Writers intern overlapping random names while readers check snapshots; a reader that learns of a finished
// intern (through an atomic) must find that name in any snapshot it loads afterwards.
TEST(StrInterner, ConcurrentWritersAndLockFreeReaders) {
  StrInterner interner(16);
  std::vector<std::string> pool;
  std::mt19937 pool_rng(5);
  for (int i = 0; i < 1500; ++i) pool.push_back("attr_" + std::to_string(pool_rng() % 1200) + random_name(pool_rng));

  constexpr int WRITERS = 3;
  constexpr int READERS = 3;
  std::atomic<int> failures{0};
  std::atomic<bool> writers_done{false};
  std::atomic<uint64_t> last_done{UINT64_MAX};  // (pool index << 32) | id of some finished intern
  std::vector<std::vector<std::pair<size_t, uint32_t>>> results(WRITERS);
  std::vector<std::thread> threads;
  for (int w = 0; w < WRITERS; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937 rng(100 + w);
      for (int step = 0; step < 2500; ++step) {
        size_t index = rng() % pool.size();
        uint32_t id = interner.intern(pool[index]);
        if (interner.get(pool[index]) != std::optional<uint32_t>(id)) failures.fetch_add(1);
        if (interner.load()->name(id) != pool[index]) failures.fetch_add(1);
        results[w].emplace_back(index, id);
        last_done.store((uint64_t{index} << 32) | id, std::memory_order_release);
      }
    });
  }
  for (int r = 0; r < READERS; ++r) {
    threads.emplace_back([&] {
      size_t previous_size = 0;
      while (!writers_done.load()) {
        uint64_t done = last_done.load(std::memory_order_acquire);
        auto snapshot = interner.load();
        if (snapshot->size() < previous_size) failures.fetch_add(1);
        previous_size = snapshot->size();
        if (done != UINT64_MAX) {
          auto id = static_cast<uint32_t>(done);
          if (snapshot->get(pool[done >> 32]) != std::optional<uint32_t>(id)) failures.fetch_add(1);
        }
        for (uint32_t id = 0; id < snapshot->size(); id += 7) {
          if (snapshot->get(snapshot->name(id)) != std::optional<uint32_t>(id)) failures.fetch_add(1);
        }
      }
    });
  }
  for (int w = 0; w < WRITERS; ++w) threads[w].join();
  writers_done.store(true);
  for (int r = 0; r < READERS; ++r) threads[WRITERS + r].join();
  EXPECT_EQ(failures.load(), 0);

  // Every name got exactly one id, and the ids are dense.
  std::map<std::string, uint32_t> name_to_id;
  for (const auto& per_writer : results) {
    for (auto [index, id] : per_writer) {
      auto [it, is_new] = name_to_id.try_emplace(pool[index], id);
      ASSERT_EQ(it->second, id) << pool[index];
    }
  }
  auto final_snapshot = interner.load();
  ASSERT_EQ(final_snapshot->size(), name_to_id.size());
  for (const auto& [name, id] : name_to_id) ASSERT_EQ(final_snapshot->name(id), name);
}

}  // namespace
}  // namespace vostrel
