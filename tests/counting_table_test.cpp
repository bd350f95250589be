// The in-cache counting table against an ordered map, and the keys it holds
// beside its slots when they are chosen to share a home slot.

#include "tally/counting_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "support/key_sets.h"

namespace diagonal_picks {
namespace {

constexpr std::uint64_t kFactor = 0x9E3779B97F4A7C15U;

// Drains the table; each key must come once, with a count.
std::map<std::uint32_t, std::uint64_t> drained(CountingTable& table) {
  std::map<std::uint32_t, std::uint64_t> counts;
  table.drain([&](const CountedKey& counted) {
    EXPECT_NE(counted.count, 0U);
    EXPECT_TRUE(counts.emplace(counted.key, counted.count).second) << "key " << counted.key << " came twice";
  });
  EXPECT_EQ(table.size(), 0U);
  EXPECT_FALSE(table.crowded());
  return counts;
}

// Keys with the same home slot in a table of 2^bits slots.
std::vector<std::uint32_t> keys_sharing_a_home(unsigned bits, std::size_t count) {
  std::vector<std::uint32_t> keys;
  for (std::uint32_t key = 0; keys.size() < count; ++key) {
    if (((key * kFactor) >> (64 - bits)) == 5) keys.push_back(key);
  }
  return keys;
}

// In small pages, and moving its slots to huge ones as it grows past 2^10
// slots and back to small ones when released.
void count_like_a_map_through_growth_and_resets(CountingTable& table) {
  std::mt19937 random(5);
  for (const std::size_t distinct : {1U, 3U, 100U, 5000U, 40000U}) {
    const std::vector<std::uint32_t> keys = reference::random_mixed_keys(3 * distinct + 7, distinct, 17);
    std::map<std::uint32_t, std::uint64_t> expected;
    const auto fill = [&] {
      table.reset(6);
      for (const std::uint32_t key : keys) {
        const auto count = static_cast<std::uint32_t>(random() % 3 + 1);
        expected[key] += count;
        table.add(key, count);
        if (4 * table.size() > table.slot_count()) table.grow();
      }
      EXPECT_EQ(table.size(), expected.size());
    };
    fill();
    EXPECT_EQ(drained(table), expected);
    expected.clear();
    fill();
    EXPECT_EQ(table.sum_and_clear(), reference::sum_of_squares(expected));
    EXPECT_TRUE(drained(table).empty());
  }
  // A reset empties a table that still holds keys: nothing of them is left.
  for (std::uint32_t key = 0; key < 1000; ++key) table.add(key, 1);
  table.reset(6);
  table.add(7, 1);
  EXPECT_EQ(drained(table), (std::map<std::uint32_t, std::uint64_t>{{7, 1}}));
}

TEST(CountingTable, CountsLikeAMapThroughGrowthAndResets) {
  CountingTable table(6, kFactor);
  count_like_a_map_through_growth_and_resets(table);
  CountingTable huge_when_large(6, kFactor, 10);
  count_like_a_map_through_growth_and_resets(huge_when_large);
  huge_when_large.release(6);
  count_like_a_map_through_growth_and_resets(huge_when_large);
}

// A table shrunk by a reset keeps the pages it grew, until released.
TEST(CountingTable, ReleasesThePagesItGrew) {
  for (const unsigned huge_pages_bits : {CountingTable::kSmallPagesOnly, 10U}) {
    CountingTable table(6, kFactor, huge_pages_bits);
    EXPECT_FALSE(table.holds_memory_beyond(6));
    for (std::uint32_t key = 0; key < 1000; ++key) {
      table.add(key, 1);
      if (4 * table.size() > table.slot_count()) table.grow();
    }
    table.reset(6);
    EXPECT_TRUE(table.holds_memory_beyond(6));
    // 2^12 slots hold the keys; huge pages hold more.
    EXPECT_EQ(table.holds_memory_beyond(12), huge_pages_bits == 10);
    table.release(6);
    EXPECT_FALSE(table.holds_memory_beyond(6));
    table.add(5, 2);
    EXPECT_EQ(table.sum_and_clear(), 4U);
  }
}

// Draining visits every key once and leaves every slot empty: the same keys
// added again count from zero, in a table of the same size.
TEST(CountingTable, DrainsToAnEmptyTable) {
  CountingTable table(12, kFactor);
  const std::vector<std::uint32_t> keys = reference::random_mixed_keys(2000, 900, 3);
  for (int round = 0; round < 2; ++round) {
    std::map<std::uint32_t, std::uint64_t> expected;
    for (const std::uint32_t key : keys) {
      ++expected[key];
      table.add(key, 1);
    }
    EXPECT_EQ(drained(table), expected);
    EXPECT_EQ(table.bits(), 12U);
    EXPECT_TRUE(drained(table).empty());
  }
}

TEST(CountingTable, AddsEachUntilFull) {
  CountingTable table(8, kFactor);
  const std::vector<std::uint32_t> keys = {1, 2, 2, 3, 4, 5, 6};
  const auto one = [](std::uint32_t key) { return CountedKey{key, 1}; };
  // Stops once the table holds 3 keys: the fourth distinct key is not added.
  EXPECT_EQ(table.add_each(std::span<const std::uint32_t>(keys), one, 3), 4U);
  EXPECT_EQ(drained(table), (std::map<std::uint32_t, std::uint64_t>{{1, 1}, {2, 2}, {3, 1}}));
  EXPECT_EQ(table.add_each(std::span<const std::uint32_t>(keys), one), keys.size());
  EXPECT_EQ(table.sum_and_clear(), 1U + 4U + 1U + 1U + 1U + 1U);
}

// Keys past the probe limit are held beside the slots, through the merges
// of that list as it doubles and through a growth, and each key is counted
// in one place only: the slots or beside them.
TEST(CountingTable, HoldsKeysBeyondTheProbeLimitBesideTheSlots) {
  constexpr unsigned kBits = 10;
  constexpr std::size_t kBeside = 300;
  const std::vector<std::uint32_t> keys = keys_sharing_a_home(kBits, CountingTable::kMaxProbe + kBeside);
  CountingTable table(kBits, kFactor);
  std::map<std::uint32_t, std::uint64_t> expected;
  const auto add = [&](std::uint32_t key, std::uint32_t count) {
    table.add(key, count);
    expected[key] += count;
  };
  for (const std::uint32_t key : keys) add(key, 2);
  EXPECT_TRUE(table.crowded());
  EXPECT_EQ(table.size(), keys.size());
  // Keys in the slots are still found there, at any depth of the run.
  add(keys.front(), 1);
  add(keys[CountingTable::kMaxProbe - 1], 1);
  EXPECT_EQ(table.size(), keys.size());
  // Keys beside come again, several times each, and with large counts.
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = CountingTable::kMaxProbe; i < keys.size(); i += 7) add(keys[i], 1U << 30);
  }
  EXPECT_EQ(drained(table), expected);

  for (const auto& [key, count] : expected) table.add(key, static_cast<std::uint32_t>(count));
  table.grow();  // they share a home in half the slots of the larger table
  EXPECT_TRUE(table.crowded());
  EXPECT_EQ(table.size(), keys.size());
  add(keys.back(), 5);
  EXPECT_EQ(table.sum_and_clear(), reference::sum_of_squares(expected));
  table.reset(kBits);
  EXPECT_FALSE(table.crowded());
}

}  // namespace
}  // namespace diagonal_picks
