// When the policy compacts a partition: not while keys look new and the
// tally mostly distinct, at once when memory passes what the distinct keys
// allow; and its estimate of the distinct keys.

#include "tally/compaction_policy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/key_sets.h"

namespace diagonal_picks {
namespace {

constexpr std::uint64_t kFactor = 0x9E3779B97F4A7C15U;

TEST(CompactionPolicy, EstimatesDistinctKeysWithinAFewPercent) {
  for (const std::size_t distinct : {1000U, 100000U, 2000000U}) {
    CompactionPolicy policy(kFactor);
    for (const std::uint32_t key : reference::random_mixed_keys(3 * distinct, distinct, 9)) policy.note(key, 1);
    const auto estimate = static_cast<double>(policy.estimated_distinct());
    EXPECT_NEAR(estimate / static_cast<double>(distinct), 1.0, distinct < 10000 ? 0.5 : 0.1) << distinct;
    policy.clear();
    EXPECT_EQ(policy.estimated_distinct(), 0U);
  }
}

TEST(CompactionPolicy, PutsOffCompactingKeysThatLookNew) {
  CompactionPolicy policy(kFactor);
  // A million distinct keys: the tally looks distinct.
  const std::vector<std::uint32_t> keys = reference::random_mixed_keys(1 << 20, 1 << 20, 4);
  for (const std::uint32_t key : keys) policy.note(key, 1);
  const std::size_t total = keys.size();
  // Due at kFirstDue, but put off: the due size doubles instead.
  EXPECT_FALSE(policy.should_compact(0, CompactionPolicy::kFirstDue - 1, total));
  EXPECT_FALSE(policy.should_compact(0, CompactionPolicy::kFirstDue, total));
  EXPECT_FALSE(policy.should_compact(0, 2 * CompactionPolicy::kFirstDue - 1, total));
  EXPECT_FALSE(policy.should_compact(0, 2 * CompactionPolicy::kFirstDue, total));
  EXPECT_FALSE(policy.should_compact(0, 4 * CompactionPolicy::kFirstDue - 1, total));

  // A compaction that found most keys old: the next is due at twice what
  // the partition holds, and is not put off.
  policy.compacted(1, 3000, 1000, 1000);
  EXPECT_FALSE(policy.should_compact(1, 1000 + CompactionPolicy::kFirstDue - 1, total));
  EXPECT_TRUE(policy.should_compact(1, 1000 + CompactionPolicy::kFirstDue, total));
  policy.compacted(1, 5000, 2500, 2500);  // 1500 of 4000 taken in were new: old
  EXPECT_FALSE(policy.should_compact(1, 2500 + 5000 - 1, total));
  EXPECT_TRUE(policy.should_compact(1, 2500 + 5000, total));
}

TEST(CompactionPolicy, OverBudgetCompactsThePartitionsThatTookInMost) {
  CompactionPolicy policy(kFactor);
  // 100,000 distinct keys seen ten times each: the tally does not look
  // distinct, and its words may reach 3/2 of the keys and a fixed 2^19.
  const std::vector<std::uint32_t> keys = reference::random_mixed_keys(1000000, 100000, 6);
  for (const std::uint32_t key : keys) policy.note(key, 1);
  const std::size_t budget = policy.estimated_distinct() * 3 / 2 + (std::size_t{1} << 19);
  policy.compacted(2, 4000, 2000, 2000);
  policy.compacted(3, 60000, 40000, 40000);
  // Under the budget, not due: left alone.
  EXPECT_FALSE(policy.should_compact(2, 2000 + 300, budget));
  EXPECT_FALSE(policy.should_compact(3, 40000 + 4000, budget));

  // Over it, a partition waits until it took in its share of the words
  // taken in since the last compactions...
  const std::size_t total = budget + 1;
  const std::size_t share = (total - 2000 - 40000) / Partitions::kPartitions;
  ASSERT_GT(share, 2000U / 8);
  ASSERT_LT(share, 40000U / 8);
  EXPECT_FALSE(policy.should_compact(2, 2000 + share - 1, total));
  EXPECT_TRUE(policy.should_compact(2, 2000 + share, total));
  // ...or an eighth of what it holds, if that is more.
  EXPECT_FALSE(policy.should_compact(3, 40000 + 40000 / 8 - 1, total));
  EXPECT_TRUE(policy.should_compact(3, 40000 + 40000 / 8, total));

  // The share follows the partitions' compacted words: once partition 3
  // holds fewer, more of the words are taken in, and the share grows.
  policy.compacted(3, 45000, 20000, 20000);
  const std::size_t larger_share = (total - 2000 - 20000) / Partitions::kPartitions;
  EXPECT_FALSE(policy.should_compact(2, 2000 + larger_share - 1, total));
  EXPECT_TRUE(policy.should_compact(2, 2000 + larger_share, total));
}

}  // namespace
}  // namespace diagonal_picks
