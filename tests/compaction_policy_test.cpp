// When the policy compacts a partition: only when memory passes what the
// distinct keys allow, the partitions that took in most first; at each
// doubling when its estimate of the distinct keys cannot be trusted; and
// that estimate.

#include "tally/compaction_policy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/key_sets.h"
#include "tally/key_hash.h"

namespace diagonal_picks {
namespace {

constexpr std::uint64_t kFactor = 0x9E3779B97F4A7C15U;

TEST(CompactionPolicy, EstimatesDistinctKeysWithinAFewPercent) {
  for (const std::size_t distinct : {1000U, 100000U, 2000000U}) {
    CompactionPolicy policy(kFactor);
    for (const std::uint32_t key : reference::random_mixed_keys(3 * distinct, distinct, 9)) policy.note(key);
    const auto estimate = static_cast<double>(policy.estimated_distinct());
    EXPECT_NEAR(estimate / static_cast<double>(distinct), 1.0, distinct < 10000 ? 0.5 : 0.1) << distinct;
    policy.clear();
    EXPECT_EQ(policy.estimated_distinct(), 0U);
  }
}

// Keys are summed as likely distinct while at least three in four of them
// look distinct, and only in a partition never compacted.
TEST(CompactionPolicy, TellsWhichPartitionsHoldLikelyDistinctKeys) {
  for (const std::size_t copies : {1U, 2U}) {
    CompactionPolicy policy(kFactor);
    const std::size_t keys = 1U << 20;
    for (const std::uint32_t key : reference::random_mixed_keys(keys, keys / copies, 5)) policy.note(key);
    EXPECT_EQ(policy.likely_distinct(7, keys), copies == 1) << copies;
    policy.compacted(7, 1000);
    EXPECT_FALSE(policy.likely_distinct(7, keys)) << copies;
    EXPECT_EQ(policy.likely_distinct(8, keys), copies == 1) << copies;
  }
}

TEST(CompactionPolicy, LeavesPartitionsAloneWhileMemoryIsWithinTheBudget) {
  for (const std::size_t distinct : {1U << 20, 1U << 14}) {  // all new, and seen 64 times each
    CompactionPolicy policy(kFactor);
    for (const std::uint32_t key : reference::random_mixed_keys(1 << 20, distinct, 4)) policy.note(key);
    const std::size_t budget = policy.budget_words();
    // Memory follows the distinct keys: 4 bytes a word.
    EXPECT_LE(4 * budget, 6 * policy.estimated_distinct() + (std::size_t{2} << 20)) << distinct;
    EXPECT_FALSE(policy.should_compact(0, 100000, budget)) << distinct;
    policy.compacted(1, 1000);
    EXPECT_FALSE(policy.should_compact(1, 1000 + 100000, budget)) << distinct;
    EXPECT_TRUE(policy.should_compact(1, 1000 + 100000, budget + 1)) << distinct;
  }
}

// The estimate errs either way, by a standard error of about 1 % here; the
// budget allows for it, so that whatever the seed the words stay within
// what the keys' true number allows.
TEST(CompactionPolicy, BudgetsForTheDistinctKeysWhateverTheSeed) {
  const std::uint32_t distinct = 1U << 21;
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    CompactionPolicy policy(kFactor);
    const key_hash::Seed mix_seed{seed * 0x9E3779B9U, seed};
    for (std::uint32_t key = 0; key < distinct; ++key) policy.note(key_hash::mix(key, mix_seed));
    EXPECT_LE(4 * policy.budget_words(), 6 * std::uint64_t{distinct} + (std::uint64_t{2} << 20) + distinct / 16)
        << seed;
  }
}

TEST(CompactionPolicy, OverBudgetCompactsThePartitionsThatTookInMost) {
  CompactionPolicy policy(kFactor);
  // 100,000 distinct keys seen ten times each: the tally does not look
  // distinct, and its words may reach what the budget allows.
  const std::vector<std::uint32_t> keys = reference::random_mixed_keys(1000000, 100000, 6);
  for (const std::uint32_t key : keys) policy.note(key);
  const std::size_t budget = policy.budget_words();
  policy.compacted(2, 2000);
  policy.compacted(3, 40000);
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
  policy.compacted(3, 20000);
  const std::size_t larger_share = (total - 2000 - 20000) / Partitions::kPartitions;
  EXPECT_FALSE(policy.should_compact(2, 2000 + larger_share - 1, total));
  EXPECT_TRUE(policy.should_compact(2, 2000 + larger_share, total));
}

// Keys chosen to share their home slot in the sample's table crowd it, and
// its size is only a bound: each partition is then compacted when it
// doubles, whatever the budget, so memory still follows the distinct keys.
TEST(CompactionPolicy, CompactsAtEachDoublingWhileTheSampleIsCrowded) {
  CompactionPolicy policy(kFactor);
  const auto home_bits = [](std::uint32_t key) { return (key * kFactor) >> (64 - 14); };
  std::vector<std::uint32_t> flood;  // sampled values with one home slot at every table size
  for (std::uint32_t value = 256; flood.size() < 100; value += 256) {
    if (home_bits(value) == home_bits(256)) flood.push_back(value);
  }
  policy.compacted(5, 1000);
  EXPECT_FALSE(policy.should_compact(5, 1000 + 1000, 1 << 20));
  for (const std::uint32_t key : flood) policy.note(key);

  EXPECT_FALSE(policy.should_compact(5, 1000 + 999, 1 << 20));
  EXPECT_TRUE(policy.should_compact(5, 1000 + 1000, 1 << 20));
  EXPECT_FALSE(policy.should_compact(6, 255, 1 << 20));
  EXPECT_TRUE(policy.should_compact(6, 256, 1 << 20));
  // The next case samples again.
  policy.clear();
  EXPECT_FALSE(policy.should_compact(6, 256, 1 << 20));
}

}  // namespace
}  // namespace diagonal_picks
