// The array of counts for close keys: it counts like a map while the keys
// stay dense and in its window, and refuses a batch whole otherwise. Its
// counts are bytes, and what passes a byte is carried to a table.

#include "tally/range_counts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace diagonal_picks {
namespace {

constexpr std::uint64_t kSlotFactor = 0x9E3779B97F4A7C15U;

// What the array counted; leaves it empty.
std::map<std::int32_t, std::uint64_t> drain_contents(RangeCounts& counts) {
  std::map<std::int32_t, std::uint64_t> seen;
  counts.drain([&](std::int32_t key, std::uint32_t count) { seen[key] += count; });
  EXPECT_TRUE(counts.empty());
  return seen;
}

// Adds a batch with its range, as the tally does.
bool add_batch(RangeCounts& counts, const std::vector<std::int32_t>& keys) {
  KeyRange range{};
  supported_batch_kernels().back().range(keys.data(), keys.size(), range);
  return counts.add(keys, range);
}

// The range of keys from `low` to `high` that include two neighbours.
KeyRange every_key(std::int32_t low, std::int32_t high) { return {low, high, 1}; }

std::uint64_t sum_of_squares(const std::map<std::int32_t, std::uint64_t>& counts) {
  std::uint64_t sum = 0;
  for (const auto& [key, count] : counts) sum += count * count;
  return sum;
}

// Summing and draining both leave every count zero: the same keys counted
// again give the same counts, not twice them.
TEST(RangeCounts, CountsDenseKeysAnywhereInTheIntegers) {
  RangeCounts counts(kSlotFactor);
  std::mt19937 random(3);
  for (const std::int64_t centre :
       {std::int64_t{0}, std::int64_t{INT32_MIN}, std::int64_t{INT32_MAX}, std::int64_t{-123456789}}) {
    std::map<std::int32_t, std::uint64_t> expected;
    std::vector<std::vector<std::int32_t>> batches(20, std::vector<std::int32_t>(128));
    for (auto& keys : batches) {
      for (auto& key : keys) {
        const std::int64_t value = centre + static_cast<std::int64_t>(random() % 3000) - 1500;
        key = static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
        ++expected[key];
      }
    }
    for (int round = 0; round < 2; ++round) {
      for (const auto& keys : batches) ASSERT_TRUE(add_batch(counts, keys)) << centre;
      EXPECT_EQ(counts.sum_and_clear(), sum_of_squares(expected)) << centre;
      EXPECT_TRUE(counts.empty());
      EXPECT_EQ(counts.sum_and_clear(), 0U);
    }
    for (const auto& keys : batches) ASSERT_TRUE(add_batch(counts, keys)) << centre;
    EXPECT_EQ(drain_contents(counts), expected) << centre;
    for (const auto& keys : batches) ASSERT_TRUE(add_batch(counts, keys)) << centre;
    EXPECT_EQ(drain_contents(counts), expected) << centre;
  }
}

TEST(RangeCounts, RefusesABatchThatLeavesTheWindowOrThinsTheKeysOut) {
  RangeCounts counts(kSlotFactor);
  // Two keys may span 128 values, and no more.
  constexpr auto kSpan = static_cast<std::int32_t>(RangeCounts::kSpanPerKey);
  constexpr auto kWindow = static_cast<std::int32_t>(RangeCounts::kWindow);
  EXPECT_TRUE(RangeCounts::dense_enough(every_key(0, 2 * kSpan - 1), 2));
  EXPECT_FALSE(RangeCounts::dense_enough(every_key(0, 2 * kSpan), 2));
  EXPECT_TRUE(RangeCounts::dense_enough(every_key(0, kWindow - 1), RangeCounts::kWindow));
  EXPECT_FALSE(RangeCounts::dense_enough(every_key(0, kWindow), UINT32_MAX));
  // The window's edge at the ends of the key range, where a span in 32 bits
  // would overflow.
  EXPECT_TRUE(RangeCounts::fits_window(every_key(INT32_MAX - kWindow + 1, INT32_MAX)));
  EXPECT_FALSE(RangeCounts::fits_window(every_key(INT32_MAX - kWindow, INT32_MAX)));
  EXPECT_FALSE(RangeCounts::fits_window(every_key(INT32_MIN, INT32_MAX)));
  // Keys on a grid of steps 2^k span a slot per step.
  EXPECT_TRUE(RangeCounts::fits_window({0, (kWindow - 1) * 8, 8}));
  EXPECT_FALSE(RangeCounts::fits_window({0, kWindow * 8, 8}));
  EXPECT_TRUE(RangeCounts::fits_window({INT32_MIN, INT32_MAX - 1023, 1024}));  // the whole window
  EXPECT_TRUE(RangeCounts::dense_enough({0, 2 * kSpan * 16 - 16, 16}, 2));
  EXPECT_FALSE(RangeCounts::dense_enough({0, 2 * kSpan * 16, 16}, 2));

  const std::vector<std::int32_t> first = {10, 20, 30, 40};
  ASSERT_TRUE(add_batch(counts, first));
  // Far away: outside the window. Refused whole: nothing of it is counted.
  const std::vector<std::int32_t> far = {11, 40000000};
  EXPECT_FALSE(add_batch(counts, far));
  // In the window, but 4 + 2 keys may not span 100,000 values.
  const std::vector<std::int32_t> sparse = {12, 100000};
  EXPECT_FALSE(add_batch(counts, sparse));
  EXPECT_EQ(drain_contents(counts), (std::map<std::int32_t, std::uint64_t>{{10, 1}, {20, 1}, {30, 1}, {40, 1}}));

  // The first keys may span kStartSpanPerKey values each, and no more.
  constexpr auto kStartSpan = static_cast<std::int32_t>(RangeCounts::kStartSpanPerKey);
  EXPECT_FALSE(add_batch(counts, {0, 1, 3 * kStartSpan}));
  EXPECT_TRUE(counts.empty());
  ASSERT_TRUE(add_batch(counts, {0, 1, 3 * kStartSpan - 1}));
  // Later keys make a wider span dense enough: kSpanPerKey values per key.
  std::vector<std::int32_t> many(1998, 5);
  many.back() = 2000 * static_cast<std::int32_t>(RangeCounts::kSpanPerKey) - 1;
  EXPECT_TRUE(add_batch(counts, many));
  EXPECT_EQ(counts.sum_and_clear(), 1997U * 1997U + 4U);
}

// Keys on a grid of steps 2^11, off the multiples of 2^11, near either end
// of the integers or around zero; then keys that make the grid finer, and
// finer again, each moving every count (those that carried included) to
// its new slot; then a finer grid that no longer fits, refused whole.
TEST(RangeCounts, CountsKeysOnAGridAndMakesItFinerAsKeysBreakIt) {
  RangeCounts counts(kSlotFactor);
  std::mt19937 random(7);
  for (const std::int64_t first :
       {std::int64_t{INT32_MIN} + 5, std::int64_t{5}, std::int64_t{INT32_MAX} - std::int64_t{2048} * 1000}) {
    for (int summed = 0; summed < 2; ++summed) {
      std::map<std::int32_t, std::uint64_t> expected;
      const auto add = [&](std::int64_t step, std::int64_t from, std::int64_t steps, std::size_t keys) {
        std::vector<std::int32_t> batch(keys);
        for (auto& key : batch) {
          key = static_cast<std::int32_t>(
              from + step * static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(steps)));
          ++expected[key];
        }
        return add_batch(counts, batch);
      };
      // 2^21 values, which only the grid makes dense enough at first.
      for (int batch = 0; batch < 600; ++batch) ASSERT_TRUE(add(2048, first, 1000, 256)) << first;
      ASSERT_TRUE(add(32, first + 32, 256, 256)) << first;
      const auto counted = static_cast<std::int32_t>(first + 224);  // on the grid of 32
      counts.add(counted, 300);
      expected[counted] += 300;
      ASSERT_TRUE(add(1, first + 1, 1000, 256)) << first;
      // Keys a single step apart over 2^23 values: twice the window.
      const std::vector<std::int32_t> too_far = {static_cast<std::int32_t>(first + 3),
                                                 static_cast<std::int32_t>(first + (std::int64_t{1} << 23))};
      EXPECT_FALSE(add_batch(counts, too_far));
      if (summed == 0) {
        EXPECT_EQ(drain_contents(counts), expected) << first;
      } else {
        EXPECT_EQ(counts.sum_and_clear(), sum_of_squares(expected)) << first;
      }
    }
  }
  // The slots the grids used are empty again for the next case.
  ASSERT_TRUE(add_batch(counts, {4, 5, 6}));
  EXPECT_EQ(drain_contents(counts), (std::map<std::int32_t, std::uint64_t>{{4, 1}, {5, 1}, {6, 1}}));
}

TEST(RangeCounts, StartsAroundARangeAndTakesCountedKeys) {
  RangeCounts counts(kSlotFactor);
  EXPECT_FALSE(counts.start(every_key(0, 1000000), 10));  // too sparse
  ASSERT_TRUE(counts.start(every_key(-500000, 500000), 20000));
  counts.add(-500000, 3);
  counts.add(500000, 2);
  counts.add(0, 1);
  // Later keys may fall on either side of the first range, within the window.
  const std::vector<std::int32_t> more = {-520000, 520000};
  EXPECT_TRUE(add_batch(counts, more));
  EXPECT_EQ(drain_contents(counts),
            (std::map<std::int32_t, std::uint64_t>{{-520000, 1}, {-500000, 3}, {0, 1}, {500000, 2}, {520000, 1}}));
}

// Counts past a byte, from batches and from counted keys, around each
// multiple of 256 and up to where a count wraps at 2^32.
TEST(RangeCounts, CarriesCountsThatPassAByte) {
  RangeCounts counts(kSlotFactor);
  std::map<std::int32_t, std::uint64_t> expected;
  std::vector<std::int32_t> batch;
  for (std::int32_t key = 0; key < 40; ++key) {
    // Key k is seen 250 + 3k times in batches: 255, 256, 257, 511, 512 ...
    for (std::int32_t seen = 0; seen < 250 + 3 * key; ++seen) batch.push_back(key);
    expected[key] = 250 + 3 * static_cast<std::uint64_t>(key);
  }
  std::shuffle(batch.begin(), batch.end(), std::mt19937(5));
  for (std::size_t at = 0; at < batch.size(); at += 256) {
    const std::vector<std::int32_t> part(batch.begin() + static_cast<std::ptrdiff_t>(at),
                                         batch.begin() + static_cast<std::ptrdiff_t>(std::min(at + 256, batch.size())));
    ASSERT_TRUE(add_batch(counts, part));
  }
  // A batch of one key, counted at once, past a byte.
  const std::vector<std::int32_t> one_key(300, 5);
  ASSERT_TRUE(add_batch(counts, one_key));
  expected[5] += 300;
  // Counted keys: into a byte that carried, past one, and counts whose
  // 256s wrap at 2^32 with those already counted.
  const auto add_counted = [&counts] {
    counts.add(7, 1000);
    counts.add(39, 256);
    counts.add(20, UINT32_MAX);
    counts.add(20, 2);
  };
  add_counted();
  expected[7] += 1000;
  expected[39] += 256;
  expected[20] = (expected[20] + UINT32_MAX + 2) % (std::uint64_t{1} << 32);
  const std::map<std::int32_t, std::uint64_t> kept = expected;
  EXPECT_EQ(drain_contents(counts), expected);
  // The same again, summed: nothing of the first round is left.
  for (std::size_t at = 0; at < batch.size(); at += 256) {
    const std::vector<std::int32_t> part(batch.begin() + static_cast<std::ptrdiff_t>(at),
                                         batch.begin() + static_cast<std::ptrdiff_t>(std::min(at + 256, batch.size())));
    ASSERT_TRUE(add_batch(counts, part));
  }
  ASSERT_TRUE(add_batch(counts, one_key));
  add_counted();
  EXPECT_EQ(counts.sum_and_clear(), sum_of_squares(kept));
}

// A factor of 1 sends every small key to the table's first slot, as keys
// chosen to collide under a known seed would: past 64 keys the table holds
// their carries beside its slots.
TEST(RangeCounts, CountsCarriesOfKeysThatCollideInTheirTable) {
  RangeCounts counts(1);
  std::map<std::int32_t, std::uint64_t> expected;
  ASSERT_TRUE(counts.start(every_key(0, 299), 300));
  for (int round = 0; round < 3; ++round) {
    for (std::int32_t key = 0; key < 300; ++key) {
      counts.add(key, 256 + static_cast<std::uint32_t>(key));
      expected[key] += 256 + static_cast<std::uint64_t>(key);
    }
  }
  EXPECT_EQ(drain_contents(counts), expected);
  ASSERT_TRUE(counts.start(every_key(0, 299), 300));
  for (int round = 0; round < 3; ++round) {
    for (std::int32_t key = 0; key < 300; ++key) counts.add(key, 256 + static_cast<std::uint32_t>(key));
  }
  EXPECT_EQ(counts.sum_and_clear(), sum_of_squares(expected));
}

// A batch that could take the keys that carried past kMostCarried is
// refused whole, so that the carries' table stays small.
TEST(RangeCounts, RefusesBatchesOnceTooManyKeysCarried) {
  RangeCounts counts(kSlotFactor);
  constexpr auto kCarried = static_cast<std::int32_t>(RangeCounts::kMostCarried) - 3;
  ASSERT_TRUE(counts.start(every_key(0, 2 * kCarried), 1U << 30));
  for (std::int32_t key = 0; key < kCarried; ++key) counts.add(key, 256);
  const std::vector<std::int32_t> more = {1, 2, 3};
  EXPECT_TRUE(add_batch(counts, more));
  counts.add(kCarried, 300);
  EXPECT_FALSE(add_batch(counts, more));
  std::uint64_t expected = std::uint64_t{300} * 300;
  for (std::int32_t key = 0; key < kCarried; ++key) {
    const std::uint64_t count = key >= 1 && key <= 3 ? 257 : 256;
    expected += count * count;
  }
  EXPECT_EQ(counts.sum_and_clear(), expected);
}

}  // namespace
}  // namespace diagonal_picks
