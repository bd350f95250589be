// The in-cache counting table against an ordered map, and its refusal of
// keys chosen to share a home slot.

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

std::map<std::uint32_t, std::uint64_t> contents(const CountingTable& table) {
  std::map<std::uint32_t, std::uint64_t> counts;
  table.for_each([&](const CountedKey& counted) {
    EXPECT_NE(counted.count, 0U);
    counts[counted.key] += counted.count;
  });
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
    table.reset(6);
    for (const std::uint32_t key : keys) {
      const auto count = static_cast<std::uint32_t>(random() % 3 + 1);
      expected[key] += count;
      ASSERT_TRUE(table.add(key, count));
      if (4 * table.size() > table.slot_count()) {
        ASSERT_TRUE(table.grow());
      }
    }
    EXPECT_EQ(table.size(), expected.size());
    EXPECT_EQ(contents(table), expected);
    EXPECT_EQ(table.sum_and_clear(), reference::sum_of_squares(expected));
    EXPECT_EQ(table.size(), 0U);
    EXPECT_TRUE(contents(table).empty());
  }
  // A reset empties a table that still holds keys: nothing of them is left.
  for (std::uint32_t key = 0; key < 1000; ++key) ASSERT_TRUE(table.add(key, 1));
  table.reset(6);
  EXPECT_TRUE(table.add(7, 1));
  EXPECT_EQ(contents(table), (std::map<std::uint32_t, std::uint64_t>{{7, 1}}));
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
      ASSERT_TRUE(table.add(key, 1));
      if (4 * table.size() > table.slot_count()) {
        ASSERT_TRUE(table.grow());
      }
    }
    table.reset(6);
    EXPECT_TRUE(table.holds_memory_beyond(6));
    // 2^12 slots hold the keys; huge pages hold more.
    EXPECT_EQ(table.holds_memory_beyond(12), huge_pages_bits == 10);
    table.release(6);
    EXPECT_FALSE(table.holds_memory_beyond(6));
    EXPECT_TRUE(table.add(5, 2));
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
      ASSERT_TRUE(table.add(key, 1));
    }
    std::map<std::uint32_t, std::uint64_t> drained;
    table.drain([&](const CountedKey& counted) { drained[counted.key] += counted.count; });
    EXPECT_EQ(drained, expected);
    EXPECT_EQ(table.size(), 0U);
    EXPECT_EQ(table.bits(), 12U);
    EXPECT_TRUE(contents(table).empty());
  }
}

TEST(CountingTable, AddsEachUntilFullOrRefused) {
  CountingTable table(8, kFactor);
  const std::vector<std::uint32_t> keys = {1, 2, 2, 3, 4, 5, 6};
  const auto one = [](std::uint32_t key) { return CountedKey{key, 1}; };
  // Stops once the table holds 3 keys: the fourth distinct key is not added.
  EXPECT_EQ(table.add_each(std::span<const std::uint32_t>(keys), one, 3), 4U);
  EXPECT_EQ(contents(table), (std::map<std::uint32_t, std::uint64_t>{{1, 1}, {2, 2}, {3, 1}}));
  table.release(8);
  EXPECT_EQ(table.add_each(std::span<const std::uint32_t>(keys), one), keys.size());
  EXPECT_EQ(table.sum_and_clear(), 1U + 4U + 1U + 1U + 1U + 1U);
}

TEST(CountingTable, RefusesKeysBeyondTheProbeLimitAndStaysExact) {
  constexpr unsigned kBits = 10;
  const std::vector<std::uint32_t> keys = keys_sharing_a_home(kBits, CountingTable::kMaxProbe + 5);
  CountingTable table(kBits, kFactor);
  std::map<std::uint32_t, std::uint64_t> expected;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const bool added = table.add(keys[i], 2);
    ASSERT_EQ(added, i < CountingTable::kMaxProbe) << i;
    if (added) expected[keys[i]] += 2;
  }
  // Keys already in are still found, at any depth of the run.
  EXPECT_TRUE(table.add(keys.front(), 1));
  EXPECT_TRUE(table.add(keys[CountingTable::kMaxProbe - 1], 1));
  expected[keys.front()] += 1;
  expected[keys[CountingTable::kMaxProbe - 1]] += 1;
  EXPECT_EQ(contents(table), expected);
  EXPECT_EQ(table.size(), CountingTable::kMaxProbe);
}

}  // namespace
}  // namespace diagonal_picks
