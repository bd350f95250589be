// The tallies and the ratio against independent models: a direct count of
// every ordered pair for small sets, and an ordered map for large ones.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "support/reference_models.h"
#include "tally/batch_kernel.h"
#include "tally/diagonal_tally.h"
#include "tally/partitions.h"
#include "tally/range_counts.h"

namespace diagonal_picks {
namespace {

using reference::brute_force_ratio;
using reference::Points;

double ratio_of(const Points& points, std::int64_t N) {
  DiagonalTally NEdiags;
  DiagonalTally SEdiags;
  for (const auto& [X, Y] : points) add_point(NEdiags, SEdiags, X, Y);
  return pick_ratio(N, NEdiags, SEdiags);
}

TEST(Ratio, WorkedValues) {
  EXPECT_EQ(ratio_of({{5, 5}}, 1), 0.0);
  EXPECT_EQ(ratio_of({{0, 0}, {1, 1}}, 2), 0.5);
  EXPECT_EQ(ratio_of({{0, 0}, {1, 0}}, 2), 0.0);
  EXPECT_EQ(ratio_of({{0, 0}, {1, 1}, {2, 0}}, 3), 4.0 / 9.0);
  EXPECT_EQ(ratio_of({{0, 2}, {1, 1}, {2, 0}}, 3), 6.0 / 9.0);
  EXPECT_EQ(ratio_of({{0, 0}, {0, 0}}, 2), 1.0);
  EXPECT_EQ(ratio_of({{0, 0}, {0, 0}, {0, 0}}, 3), 12.0 / 9.0);
}

TEST(Ratio, CountsWithoutPoints) {
  const double empty = ratio_of({}, 0);
  EXPECT_TRUE(std::isnan(empty));
  EXPECT_EQ(ratio_of({}, -3), 2.0 / 3.0);
  EXPECT_EQ(ratio_of({}, -1), 2.0);
  // Beyond 64 bits N * N and N + N wrap around instead of overflowing.
  EXPECT_TRUE(std::isnan(ratio_of({}, INT64_MIN)));
  EXPECT_EQ(ratio_of({}, INT64_MAX), 2.0);
}

TEST(Ratio, MatchesPairCountOnRandomSmallSets) {
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    const int size = std::uniform_int_distribution<int>(1, 60)(random);
    const int spread = std::uniform_int_distribution<int>(0, 6)(random);
    std::uniform_int_distribution<std::int32_t> coordinate(-spread, spread);
    Points points;
    for (int i = 0; i < size; ++i) {
      if (!points.empty() && random() % 5 == 0) {
        points.push_back(points[random() % points.size()]);  // coincident points
      } else {
        points.emplace_back(coordinate(random), coordinate(random));
      }
    }
    ASSERT_EQ(ratio_of(points, size), brute_force_ratio(points)) << "round " << round;
  }
}

TEST(Ratio, KeysWrapAtThe32BitLimits) {
  // Y - X and X + Y leave the 32-bit range and wrap to equal keys.
  const Points points = {{INT32_MIN, INT32_MAX}, {0, -1}, {INT32_MAX, INT32_MAX}, {-2, 0}};
  EXPECT_EQ(ratio_of(points, 4), 6.0 / 16.0);
}

void expect_tally_matches_model(const std::vector<std::int32_t>& keys, DiagonalTally& tally) {
  // In pieces of 1 to 1,000 keys, so that batches begin and end anywhere.
  std::size_t piece = 1;
  for (std::size_t at = 0; at < keys.size(); at += piece, piece = piece * 7 % 1000 + 1) {
    tally.add(std::span(keys).subspan(at, std::min(piece, keys.size() - at)));
  }
  EXPECT_EQ(tally.finish(), reference::map_sum_of_squares(keys)) << keys.size() << " keys";
}

// Key sets that outgrow the table, cluster, or repeat heavily, in sizes
// around every buffer limit; one tally for each batch kernel serves them all
// to test clearing.
void expect_matches_on_structured_key_sets(DiagonalTally& tally) {
  std::mt19937 random(99);  // 32-bit outputs
  for (const std::size_t size : {1U, 100U, 40000U, 70000U, 300000U}) {
    for (const unsigned distinct_bits : {1U, 10U, 16U, 20U, 32U}) {
      for (const unsigned low_zero_bits : {0U, 11U, 20U}) {
        std::vector<std::int32_t> keys(size);
        for (auto& key : keys) {
          const auto value =
              static_cast<std::uint32_t>(distinct_bits == 32 ? random() : random() % (1U << distinct_bits));
          key = static_cast<std::int32_t>(value << low_zero_bits);
        }
        expect_tally_matches_model(keys, tally);
      }
    }
    std::vector<std::int32_t> ascending(size);
    for (std::size_t i = 0; i < size; ++i) ascending[i] = static_cast<std::int32_t>(i * 3) - 500000;
    expect_tally_matches_model(ascending, tally);
  }
}

TEST(Tally, MatchesMapOnLargeAndStructuredKeySets) {
  for (const BatchKernel& kernel : supported_batch_kernels()) {
    SCOPED_TRACE(kernel.name);
    DiagonalTally tally(kernel);
    expect_matches_on_structured_key_sets(tally);
  }
}

// One case may move from the narrow array to the table or the partitions,
// and from the table to the array or the partitions; each move keeps every
// count, and the next case starts narrow again. With every batch kernel.
void expect_every_count_kept_between_narrow_and_wide(DiagonalTally& tally) {
  std::mt19937 random(12);
  const auto uniform = [&random](std::int32_t low, std::int32_t high) {
    return std::uniform_int_distribution<std::int32_t>(low, high)(random);
  };
  const auto run = [&](const std::vector<std::int32_t>& keys) { expect_tally_matches_model(keys, tally); };
  constexpr auto kSpanPerKey = static_cast<std::int32_t>(RangeCounts::kSpanPerKey);
  std::vector<std::int32_t> keys;
  keys.reserve(100000);
  // Narrow, then one key just outside what the narrow array may span: to
  // the table, with everything counted so far.
  for (int i = 0; i < 300; ++i) keys.push_back(uniform(0, 100));
  keys.push_back(kSpanPerKey * 301);
  run(keys);
  // Narrow with many keys seen once and some twice, then one far away:
  // those seen once leave the array in batches, the others counted.
  keys.clear();
  for (std::int32_t key = 0; key < 50000; ++key) keys.push_back(key);
  for (std::int32_t key = 100; key < 700; ++key) keys.push_back(key);
  keys.push_back(INT32_MAX);
  run(keys);
  // Narrow, then wide: through the table to the partitions.
  for (int i = 0; i < 40000; ++i) keys.push_back(uniform(INT32_MIN, INT32_MAX));
  run(keys);
  // Wide at first, then many distinct keys close together: the table fills
  // and hands them to the array, which later sees a key far away.
  keys.clear();
  keys.push_back(INT32_MAX);
  for (int i = 0; i < 40000; ++i) keys.push_back(uniform(-300000, 300000));
  run(keys);
  keys.push_back(INT32_MIN);
  for (int i = 0; i < 1000; ++i) keys.push_back(uniform(-300000, 300000));
  run(keys);
  // Keys on a grid of steps 2^11 over all 32-bit keys: through the table
  // to the array, in slots 2^11 keys apart. Then keys on a finer grid, which
  // move every count to finer slots; then keys off any grid, too many slots
  // apart for the array: to the partitions.
  keys.clear();
  for (int i = 0; i < 60000; ++i) keys.push_back(uniform(-(1 << 20), (1 << 20) - 1) * 2048 + 5);
  run(keys);
  for (int i = 0; i < 1000; ++i) keys.push_back(uniform(-1000, 1000) * 64 + 5);
  run(keys);
  for (int i = 0; i < 1000; ++i) keys.push_back(uniform(INT32_MIN, INT32_MAX));
  run(keys);
  // Keys at the ends of the range, and repeated heavily.
  run(std::vector<std::int32_t>(5000, INT32_MIN));
  run({INT32_MAX, INT32_MAX, INT32_MIN, 0});
  run({});
}

TEST(Tally, KeepsEveryCountWhereKeysMoveBetweenNarrowAndWide) {
  for (const BatchKernel& kernel : supported_batch_kernels()) {
    SCOPED_TRACE(kernel.name);
    DiagonalTally tally(kernel);
    expect_every_count_kept_between_narrow_and_wide(tally);
  }
}

// Keys that repeat past what memory allows for their distinct values: 4
// bytes per key read would pass the budget of 6 per distinct key and 1 to 2 MiB,
// so the partitions are compacted in rounds while the case is read, and
// every count must survive them. Each of `distinct` values is seen `count`
// / `distinct` times or once more, in an order that scatters them, so the
// sum is known without a model.
void expect_counts_kept_through_compactions(DiagonalTally& tally, std::size_t count, std::size_t distinct,
                                            bool shuffled) {
  std::vector<std::int32_t> keys(count);
  std::size_t index = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t position = shuffled ? index : i;
    keys[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(position % distinct) * 0x9E3779B1U);
    index = (index + 1000000007) % count;
  }
  for (std::size_t at = 0, piece = 1; at < count; at += piece, piece = piece * 7 % 5000 + 1) {
    tally.add(std::span(keys).subspan(at, std::min(piece, count - at)));
  }
  const std::uint64_t q = count / distinct;
  const std::uint64_t r = count % distinct;
  EXPECT_EQ(tally.finish(), (distinct - r) * q * q + r * (q + 1) * (q + 1)) << count << " keys, " << distinct;
}

// Between them, cases that outgrow the table without compacting: the table
// gives its pages back when memory asks, and keeps them otherwise.
TEST(Tally, KeepsEveryCountThroughCompactions) {
  DiagonalTally tally;
  expect_counts_kept_through_compactions(tally, 1500000, 1 << 16, true);  // seen 23 times each
  expect_counts_kept_through_compactions(tally, 50000, 40000, true);
  // A case whose second half repeats its first, then smaller ones.
  expect_counts_kept_through_compactions(tally, 6000000, 3000000, false);
  expect_counts_kept_through_compactions(tally, 50000, 40000, true);
  expect_counts_kept_through_compactions(tally, 3, 2, false);
}

// Keys whose mixed values share all but their low bits: one partition, one
// home slot in the small table, a crowded partition table. The tally must
// count them exactly without probing ever longer chains.
TEST(Tally, CountsKeysThatCollideInTheTables) {
  constexpr key_hash::Seed kKnownSeed{0x5EED0001U, 0x5EED0002U};
  key_hash::fix_process_seed(kKnownSeed);
  const std::uint32_t shared = key_hash::mix(12345, kKnownSeed) & ~0xFFFU;
  std::vector<std::int32_t> colliding;
  for (std::uint32_t low = 0; low < 4096; low += 3)
    colliding.push_back(static_cast<std::int32_t>(key_hash::unmix(shared | low, kKnownSeed)));
  DiagonalTally tally;
  for (const std::size_t distinct : {40U, 300U, 1366U}) {
    std::vector<std::int32_t> keys;
    for (int repeat = 0; repeat < 20; ++repeat)
      keys.insert(keys.end(), colliding.begin(), colliding.begin() + static_cast<std::ptrdiff_t>(distinct));
    expect_tally_matches_model(keys, tally);
    expect_tally_matches_model({1, 2, 2}, tally);  // a small case after it
  }
}

// The keys that crowd one partition under one seed spread under another,
// and the sums are the same under every seed.
TEST(Tally, SeedSpreadsChosenKeysAndNeverChangesTheSum) {
  constexpr key_hash::Seed kAttackedSeed{};
  constexpr key_hash::Seed kOtherSeed{0x9E3779B9U, 0x7F4A7C15U};
  std::vector<std::int32_t> keys;
  for (std::uint32_t low = 0; low < (1U << 16); ++low) {
    const auto key = static_cast<std::int32_t>(key_hash::unmix(0xABC00000U | low, kAttackedSeed));
    keys.insert(keys.end(), low % 3 + 1, key);
  }
  std::vector<bool> top_bits_seen(1U << Partitions::kPartitionBits);
  for (const std::int32_t key : keys) {
    ASSERT_EQ(key_hash::mix(static_cast<std::uint32_t>(key), kAttackedSeed) >> 20, 0xABCU);
    top_bits_seen[key_hash::mix(static_cast<std::uint32_t>(key), kOtherSeed) >> (32 - Partitions::kPartitionBits)] =
        true;
  }
  EXPECT_GT(std::count(top_bits_seen.begin(), top_bits_seen.end(), true), Partitions::kPartitions * 9 / 10);

  std::vector<std::uint64_t> sums;
  for (const key_hash::Seed seed : {kAttackedSeed, kOtherSeed, key_hash::Seed{1, 0}, key_hash::Seed{0, 1U << 31}}) {
    key_hash::fix_process_seed(seed);
    ASSERT_EQ(key_hash::process_seed(), seed);
    DiagonalTally tally;
    tally.add(keys);
    sums.push_back(tally.finish());
  }
  for (const std::uint64_t sum : sums) EXPECT_EQ(sum, reference::map_sum_of_squares(keys));
}

// A kernel that streams lines as the portable one does and notes whether
// any line streamed since its last fence is still unordered.
bool unordered_lines = false;
std::size_t streamed_lines = 0;
void stream_and_note(std::uint32_t* to, const std::uint32_t* from) {
  supported_batch_kernels().back().stream_line(to, from);
  unordered_lines = true;
  ++streamed_lines;
}
void fence_and_note() { unordered_lines = false; }

// The next call may come from another thread: each call orders the lines it
// streamed before it returns.
TEST(Tally, OrdersItsStreamedLinesBeforeEachAddReturns) {
  const BatchKernel& portable = supported_batch_kernels().back();
  const BatchKernel noting{"noting", portable.mix, portable.range, stream_and_note, fence_and_note};
  DiagonalTally tally(noting);
  unordered_lines = false;  // the notes start afresh when the test is repeated
  streamed_lines = 0;
  std::mt19937 random(11);
  std::vector<std::int32_t> all;
  std::vector<std::int32_t> keys(2048);  // a call's worth from two CPUs
  for (int call = 0; call < 300; ++call) {
    for (std::int32_t& key : keys) key = static_cast<std::int32_t>(random());
    tally.add(keys);
    ASSERT_FALSE(unordered_lines) << "after call " << call;
    all.insert(all.end(), keys.begin(), keys.end());
  }
  EXPECT_GT(streamed_lines, all.size() / Partitions::kLineWords / 2);  // keys this distinct stream
  EXPECT_EQ(tally.finish(), reference::map_sum_of_squares(all));
}

}  // namespace
}  // namespace diagonal_picks
