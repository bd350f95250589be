// The in-cache counting table against an ordered map, and its refusal of
// keys chosen to collide.

#include "tally/counting_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "support/key_sets.h"

namespace diagonal_picks {
namespace {

using reference::colliding_mixed_keys;
using reference::count_in_map;
using reference::random_mixed_keys;

std::map<std::uint32_t, std::uint64_t> contents(const CountingTable& table) {
  std::map<std::uint32_t, std::uint64_t> counts;
  table.for_each([&](const CountedKey& counted) { counts[counted.key] += counted.count; });
  return counts;
}

TEST(CountingTable, CountsLikeAMapThroughGrowthAndResets) {
  CountingTable table;
  for (const unsigned skipped_bits : {0U, 11U}) {
    for (const std::size_t distinct : {1U, 3U, 100U, 2000U}) {
      const std::vector<std::uint32_t> keys = random_mixed_keys(5000, distinct, static_cast<unsigned>(distinct));
      table.reset(4, skipped_bits);
      std::size_t added = 0;
      while (added < keys.size()) {
        added += table.add_while_room(std::span(keys).subspan(added));
        if (table.full()) {
          ASSERT_TRUE(table.grow());
        }
      }
      EXPECT_FALSE(table.full());
      const auto expected = count_in_map(keys);
      EXPECT_EQ(contents(table), expected);
      EXPECT_EQ(table.size(), expected.size());
      EXPECT_EQ(table.sum_of_squared_counts(), reference::sum_of_squares(expected));
    }
  }
  table.reset(3);
  EXPECT_EQ(table.size(), 0U);
  EXPECT_TRUE(contents(table).empty());
}

TEST(CountingTable, AddsCountsAndSplitsByThem) {
  CountingTable table(8);
  ASSERT_TRUE(table.add(5, 1));
  ASSERT_TRUE(table.add(9, 3));
  ASSERT_TRUE(table.add(5, 2));
  ASSERT_TRUE(table.add(0, 1));
  std::vector<std::uint32_t> once(table.size() + 1);
  std::vector<CountedKey> more(table.size() + 1);
  const auto [once_count, more_count] = table.split_by_count(once, more);
  ASSERT_EQ(once_count, 1U);
  ASSERT_EQ(more_count, 2U);
  EXPECT_EQ(once[0], 0U);
  const std::map<std::uint32_t, std::uint32_t> counted = {{more[0].key, more[0].count}, {more[1].key, more[1].count}};
  EXPECT_EQ(counted, (std::map<std::uint32_t, std::uint32_t>{{5, 3}, {9, 3}}));
  EXPECT_EQ(table.sum_of_squared_counts(), 1U + 9U + 9U);
}

// Keys with one home slot: the table takes as many as a probe may visit,
// then refuses the next without changing; a small table visits fewer.
TEST(CountingTable, RefusesProbesThatRunTooLong) {
  const std::vector<std::uint32_t> keys = colliding_mixed_keys(200, 12);
  for (const unsigned bits : {6U, 12U}) {
    CountingTable table(bits);
    const std::size_t taken = table.add_while_room(keys);
    EXPECT_EQ(taken, table.probe_limit());
    const auto before = contents(table);
    EXPECT_FALSE(table.add(keys[taken], 1));
    EXPECT_EQ(contents(table), before);
    EXPECT_TRUE(table.add(keys[0], 1));  // a key already in is still counted
  }
  EXPECT_EQ(CountingTable(6).probe_limit(), 16U);
  EXPECT_EQ(CountingTable(12).probe_limit(), CountingTable::kMaxProbe);
}

}  // namespace
}  // namespace diagonal_picks
