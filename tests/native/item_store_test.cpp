// ItemStore against a std::map model: random puts and takes over dense and scattered ids, ordered walks, page reuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "index/core/item_store.hpp"

namespace vostrel {
namespace {

// An item that owns something, so leaks and double releases show up in the use counts.
using Item = std::shared_ptr<int>;

void expect_equal(const ItemStore<Item>& store, const std::map<uint32_t, Item>& model) {
  ASSERT_EQ(store.size(), model.size());
  std::vector<std::pair<uint32_t, int>> walked;
  store.for_each([&](uint32_t id, const Item& item) { walked.emplace_back(id, *item); });
  std::vector<std::pair<uint32_t, int>> expected;
  for (const auto& [id, item] : model) expected.emplace_back(id, *item);
  EXPECT_EQ(walked, expected) << "the walk visits every item once, by ascending id";
  for (const auto& [id, item] : model) {
    const Item* found = store.find(id);
    ASSERT_NE(found, nullptr) << id;
    EXPECT_EQ(found->get(), item.get());
  }
}

TEST(ItemStore, RandomPutsAndTakesMatchModel) {
  std::mt19937 rng(42);
  ItemStore<Item> store;
  std::map<uint32_t, Item> model;
  auto random_id = [&]() -> uint32_t {
    switch (rng() % 4) {
      case 0: return rng() % 300;                          // dense low ids
      case 1: return 100000 + rng() % 2000;                // a second cluster
      case 2: return rng() % 2 ? 0xFFFFFFFFu : 0xFFFFFF80u;  // the very top of the id space
      default: return rng() % 5000000;                     // scattered
    }
  };
  int next_value = 0;
  for (int step = 0; step < 20000; ++step) {
    const uint32_t id = random_id();
    if (rng() % 3 != 0) {
      Item item = std::make_shared<int>(next_value++);
      Item old = store.put(id, item);
      auto found = model.find(id);
      EXPECT_EQ(old.get(), found == model.end() ? nullptr : found->second.get());
      model[id] = item;
    } else {
      Item taken = store.take(id);
      auto found = model.find(id);
      EXPECT_EQ(taken.get(), found == model.end() ? nullptr : found->second.get());
      if (found != model.end()) model.erase(found);
    }
    if (step % 500 == 0) {
      ASSERT_NO_FATAL_FAILURE(expect_equal(store, model));
    }
    const uint32_t probe = random_id();
    EXPECT_EQ(store.contains(probe), model.count(probe) != 0);
  }
  expect_equal(store, model);
  // Only the store and the model hold each item: nothing was copied or leaked into stray slots.
  for (const auto& [id, item] : model) EXPECT_EQ(item.use_count(), 2) << id;
  for (auto it = model.begin(); it != model.end();) {
    EXPECT_EQ(store.take(it->first).get(), it->second.get());
    it = model.erase(it);
  }
  EXPECT_TRUE(store.empty());
  EXPECT_EQ(store.page_count(), 0u) << "emptied pages are freed";
}

TEST(ItemStore, SmallStoreAmongHighIdsTakesOnePage) {
  ItemStore<Item> store;
  store.put(1'000'000, std::make_shared<int>(1));
  store.put(1'000'001, std::make_shared<int>(2));
  EXPECT_EQ(store.page_count(), 1u);
  EXPECT_EQ(store.find(999'999), nullptr);
  EXPECT_EQ(*store.take(1'000'000), 1);
  EXPECT_EQ(store.page_count(), 1u);
  EXPECT_EQ(*store.take(1'000'001), 2);
  EXPECT_EQ(store.page_count(), 0u);
  EXPECT_EQ(store.take(1'000'001), nullptr) << "taking an absent id gives a default item";
  // Neighbours across a page and a leaf boundary, walked in order.
  for (uint32_t id : {131'073u, 131'071u, 127u, 128u, 131'072u}) {
    store.put(id, std::make_shared<int>(static_cast<int>(id)));
  }
  std::vector<uint32_t> walked;
  store.for_each([&](uint32_t id, const Item& item) {
    EXPECT_EQ(*item, static_cast<int>(id));
    walked.push_back(id);
  });
  EXPECT_EQ(walked, (std::vector<uint32_t>{127, 128, 131'071, 131'072, 131'073}));
}

TEST(ItemStore, PagesTurnDirectWhenFullAndPackedWhenSparse) {
  using Store = ItemStore<Item>;
  Store store;
  std::map<uint32_t, Item> model;
  const uint32_t base = 5 * Store::PAGE_SLOTS;
  auto put = [&](uint32_t id) {
    Item item = std::make_shared<int>(static_cast<int>(id));
    EXPECT_EQ(store.put(id, item), nullptr);
    model[id] = item;
  };
  // Every other id, from the top of the page down: each put lands before the items already packed.
  for (uint32_t slot = Store::PAGE_SLOTS; slot-- > 0;) {
    if (slot % 2 == 0) put(base + slot);
    EXPECT_EQ(store.direct_page_count(), model.size() > Store::PACKED_MAX ? 1u : 0u) << model.size();
  }
  ASSERT_NO_FATAL_FAILURE(expect_equal(store, model));
  // Taken down to half of the packed limit, the page packs again; in between it stays as it is.
  while (model.size() > Store::PACKED_MAX / 2) {
    auto victim = std::next(model.begin(), static_cast<std::ptrdiff_t>(model.size() / 2));
    EXPECT_EQ(store.take(victim->first).get(), victim->second.get());
    model.erase(victim);
    EXPECT_EQ(store.direct_page_count(), model.size() > Store::PACKED_MAX / 2 ? 1u : 0u) << model.size();
  }
  ASSERT_NO_FATAL_FAILURE(expect_equal(store, model));
  // A batch take from a direct page packs it too.
  for (uint32_t slot = 1; slot < Store::PAGE_SLOTS; slot += 2) put(base + slot);
  EXPECT_EQ(store.direct_page_count(), 1u);
  std::vector<uint32_t> odd;
  for (uint32_t slot = 1; slot < Store::PAGE_SLOTS; slot += 2) odd.push_back(base + slot);
  std::vector<const int*> taken;
  store.take_ascending(odd, [&](Item&& item) { taken.push_back(item.get()); });
  std::vector<const int*> expected;
  for (uint32_t id : odd) {
    expected.push_back(model[id].get());
    model.erase(id);
  }
  EXPECT_EQ(taken, expected);
  EXPECT_EQ(store.direct_page_count(), 0u);
  ASSERT_NO_FATAL_FAILURE(expect_equal(store, model));
  for (const auto& [id, item] : model) EXPECT_EQ(item.use_count(), 2) << id;
}

TEST(ItemStore, TakeAscendingMatchesTakeOneByOne) {
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    ItemStore<Item> store;
    std::map<uint32_t, Item> model;
    // Dense runs and scattered ids, across pages and leaves, some pages filled whole.
    const uint32_t base = rng() % 3 == 0 ? 0xFFFF0000u : rng() % 400000;
    for (int n = 0; n < 3000; ++n) {
      const uint32_t id = base + (rng() % 2 ? rng() % 600 : rng() % 60000);
      Item item = std::make_shared<int>(n);
      store.put(id, item);
      model[id] = item;
    }
    // Every stored id, some absent ones, kept or dropped at random: ascending, duplicates removed.
    std::vector<uint32_t> ids;
    const int keep_share = static_cast<int>(rng() % 11);  // 0: take everything
    for (const auto& [id, item] : model) {
      if (static_cast<int>(rng() % 10) >= keep_share) ids.push_back(id);
      if (rng() % 8 == 0 && id + 1 != 0 && !model.count(id + 1)) ids.push_back(id + 1);
    }
    std::vector<const int*> taken;
    for (size_t at = 0; at < ids.size();) {  // blocks of any length, pages split between blocks
      const size_t end = std::min<size_t>(ids.size(), at + 1 + rng() % 300);
      store.take_ascending(std::span<const uint32_t>(ids.data() + at, end - at),
                           [&](Item&& item) { taken.push_back(item.get()); });
      at = end;
    }
    std::vector<const int*> expected;
    for (uint32_t id : ids) {
      auto found = model.find(id);
      if (found == model.end()) continue;
      expected.push_back(found->second.get());
      model.erase(found);
    }
    EXPECT_EQ(taken, expected) << "round " << round << ": every stored id taken once, in order";
    ASSERT_NO_FATAL_FAILURE(expect_equal(store, model));
    for (const auto& [id, item] : model) EXPECT_EQ(item.use_count(), 2) << id;
    if (model.empty()) {
      EXPECT_EQ(store.page_count(), 0u) << "emptied pages and leaves are freed";
    }
  }
}

}  // namespace
}  // namespace vostrel
