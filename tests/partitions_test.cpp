// The partitions and the counting of one partition, against an ordered map:
// every key reaches its partition's words across line and chunk sizes, and
// a partition counted and written back holds the same counts, whether
// counted in one table or split into buckets, and whatever keys crowd the
// table.

#include "tally/partitions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "support/key_sets.h"
#include "tally/partition_counter.h"

namespace diagonal_picks {
namespace {

constexpr std::uint64_t kFactor = 0x9E3779B97F4A7C15U;
using Counts = std::map<std::uint32_t, std::uint64_t>;

// The mixed keys a partition holds, with their counts; leaves it empty.
Counts drain_partition(Partitions& partitions, std::size_t partition) {
  Counts counts;
  Partitions::List list = partitions.take(partition);
  partitions.drain(list, 0, [&](std::span<const std::uint32_t> run) {
    for (const std::uint32_t word : run) {
      EXPECT_NE(Partitions::count_of(word), 0U);
      counts[Partitions::mixed_of(partition, Partitions::key_of(word))] += Partitions::count_of(word);
    }
  });
  EXPECT_EQ(partitions.words(partition), 0U);
  return counts;
}

// Mixed keys of one partition: its top bits, then `key_bits` random bits
// (the rest of the key bits zero), so that some split levels see one bucket.
std::vector<std::uint32_t> keys_in_partition(std::size_t partition, std::size_t count, std::size_t distinct,
                                             unsigned key_bits, unsigned seed) {
  std::vector<std::uint32_t> keys = reference::random_mixed_keys(count, distinct, seed);
  const unsigned low_bits = 32 - Partitions::kPartitionBits;
  for (auto& key : keys) key = Partitions::mixed_of(partition, (key >> (32 - key_bits)) << (low_bits - key_bits));
  return keys;
}

// Full lines go to memory past the caches, or through them where counted
// words left a line no place of its own in the chunk: both ways, in turn
// within one case.
TEST(Partitions, EveryPartitionGetsExactlyItsKeys) {
  for (const std::size_t count : {1U, 15U, 16U, 17U, 1023U, 1024U, 1025U, 300000U}) {
    Partitions partitions;
    const std::vector<std::uint32_t> keys = reference::random_mixed_keys(count, count / 2 + 1, 11);
    std::map<std::size_t, Counts> expected;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (i == keys.size() / 2) {
        partitions.add_counted(keys[0], 1000);  // four words: 255, 255, 255, 235
        expected[Partitions::partition_of(keys[0])][keys[0]] += 1000;
      }
      partitions.add(keys[i]);
      ++expected[Partitions::partition_of(keys[i])][keys[i]];
    }
    for (std::size_t partition = 0; partition < Partitions::kPartitions; ++partition) {
      ASSERT_EQ(drain_partition(partitions, partition), expected[partition])
          << count << " keys, partition " << partition;
    }
    EXPECT_EQ(partitions.total_words(), 0U);
    partitions.clear();
  }
  // All in one partition, around the end of a line and of a chunk; then a
  // counted key whose four words cross the end of the line.
  for (const std::size_t count : {Partitions::kLineWords - 1, Partitions::kLineWords, Partitions::kLineWords + 1,
                                  Partitions::kChunkWords + Partitions::kLineWords + 1}) {
    Partitions partitions;
    const std::vector<std::uint32_t> keys = keys_in_partition(9, count, count / 2 + 1, 24, 4);
    for (const std::uint32_t key : keys) partitions.add(key);
    EXPECT_EQ(partitions.words(9), count);
    partitions.add_counted(keys[0], 1000);
    EXPECT_EQ(partitions.words(9), count + 4);
    Counts expected = reference::count_in_map(keys);
    expected[keys[0]] += 1000;
    EXPECT_EQ(drain_partition(partitions, 9), expected) << count << " keys";
  }
}

TEST(PartitionCounter, CompactsToTheSameCountsInEveryWay) {
  PartitionCounter counter(kFactor);
  Partitions partitions;
  constexpr std::size_t kPartition = 77;
  struct Shape {
    std::size_t count;
    std::size_t distinct;
    unsigned key_bits;
  };
  // One table; split once; split with most bits shared (one bucket per
  // level); all keys equal, with counts beyond a word's.
  for (const Shape shape : {Shape{100, 60, 24}, Shape{PartitionCounter::kMaxTableWords, 5000, 24},
                            Shape{PartitionCounter::kMaxTableWords + 1, 20000, 24}, Shape{200000, 150000, 24},
                            Shape{100000, 3000, 12}, Shape{70000, 1, 24}}) {
    const std::vector<std::uint32_t> keys =
        keys_in_partition(kPartition, shape.count, shape.distinct, shape.key_bits, 23);
    Counts expected;
    for (const std::uint32_t key : keys) {
      partitions.add(key);
      ++expected[key];
    }
    counter.compact(partitions, kPartition);
    // One word per key, or more for a count over 255.
    std::size_t words = 0;
    for (const auto& [key, count] : expected)
      words += (count + Partitions::kMaxWordCount - 1) / Partitions::kMaxWordCount;
    EXPECT_EQ(partitions.words(kPartition), words) << shape.count;
    // Counting again adds to what was compacted.
    partitions.add(keys[0]);
    ++expected[keys[0]];
    EXPECT_EQ(counter.sum_and_drop(partitions, kPartition, true), reference::sum_of_squares(expected)) << shape.count;
    EXPECT_EQ(partitions.words(kPartition), 0U);
  }
}

// A partition compacted with a split holds its words bucket by bucket, and
// the next count takes them to their buckets a stretch at a time. Keys
// compacted, then new ones and repeats of them, counted again in buckets of
// fewer, as many and more bits than the first split's, or after a first
// count in one table; then summed.
TEST(PartitionCounter, CountsAgainWhatItWroteBackBucketByBucket) {
  PartitionCounter counter(kFactor);
  Partitions partitions;
  constexpr std::size_t kPartition = 31;
  struct Rounds {
    std::size_t first;  // keys, and how many of them distinct
    std::size_t first_distinct;
    std::size_t second;  // keys added after the first compaction
  };
  // Split bits: 8 then 6; 7 then 7; 7 then 8; none then 6.
  for (const Rounds rounds : {Rounds{200000, 40000, 1000}, Rounds{100000, 80000, 10000}, Rounds{100000, 80000, 100000},
                              Rounds{30000, 20000, 20000}}) {
    SCOPED_TRACE(rounds.first + rounds.second);
    Counts expected;
    for (const std::uint32_t key : keys_in_partition(kPartition, rounds.first, rounds.first_distinct, 24, 5)) {
      partitions.add(key);
      ++expected[key];
    }
    counter.compact(partitions, kPartition);
    // Half of them new, half repeating the first ones.
    const std::vector<std::uint32_t> more = keys_in_partition(kPartition, rounds.second, rounds.second, 24, 6);
    const std::vector<std::uint32_t> first = keys_in_partition(kPartition, rounds.second, rounds.first_distinct, 24, 5);
    for (std::size_t i = 0; i < rounds.second; ++i) {
      const std::uint32_t key = i % 2 == 0 ? more[i] : first[i];
      partitions.add(key);
      ++expected[key];
    }
    counter.compact(partitions, kPartition);
    // One word per key: a key whose words reached two buckets would have
    // two.
    EXPECT_EQ(partitions.words(kPartition), expected.size());
    partitions.add(more[0]);
    ++expected[more[0]];
    EXPECT_EQ(counter.sum_and_drop(partitions, kPartition, false), reference::sum_of_squares(expected));
  }
}

// Summing keys that are likely distinct finds repeats in a bitmap, whose
// marks from one sum must not show in the next, also when the sums'
// numbers wrap; the sums must not depend on the hint: keys that are all
// distinct, counted words among them, one repeat anywhere, keys seen two or
// three times, and the same with counts. Lists of every size around the
// bitmap's limits: too short for it, just long enough, and long enough that
// a table would split them.
void sum_keys_seen_once_apart_from_repeats(PartitionCounter& counter) {
  Partitions partitions;
  constexpr std::size_t kPartition = 200;
  for (const std::size_t size : {PartitionCounter::kMinBitmapWords - 1, PartitionCounter::kMinBitmapWords,
                                 PartitionCounter::kMaxTableWords + 1, std::size_t{100000}}) {
    // Spread over all 24 key bits.
    const auto step = static_cast<std::uint32_t>((std::size_t{1} << 24) / size);
    std::vector<std::uint32_t> keys;
    for (std::uint32_t key = 0; key < size; ++key) keys.push_back(Partitions::mixed_of(kPartition, key * step));
    for (const bool likely_distinct : {true, false}) {
      for (const std::uint32_t key : keys) partitions.add(key);
      partitions.add_counted(Partitions::mixed_of(kPartition, 0xFFFFFF), 300);  // two words, one key
      EXPECT_EQ(counter.sum_and_drop(partitions, kPartition, likely_distinct), keys.size() + std::size_t{300} * 300);
      for (const std::size_t repeated : {std::size_t{0}, keys.size() / 2, keys.size() - 1}) {
        for (const std::uint32_t key : keys) partitions.add(key);
        partitions.add(keys[repeated]);
        EXPECT_EQ(counter.sum_and_drop(partitions, kPartition, likely_distinct), keys.size() - 1 + 4) << repeated;
      }
      // Keys seen once, twice and three times, each word counting one.
      Counts plain;
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::size_t copies = i % 10 == 0 ? 3 : i % 5 == 0 ? 2 : 1;
        for (std::size_t copy = 0; copy < copies; ++copy) partitions.add(keys[i]);
        plain[keys[i]] += copies;
      }
      EXPECT_EQ(counter.sum_and_drop(partitions, kPartition, likely_distinct), reference::sum_of_squares(plain));
      Counts expected;
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto count = static_cast<std::uint32_t>(1 + i % 3);
        const std::size_t copies = i % 5 == 0 ? 3 : i % 2 == 0 ? 2 : 1;
        for (std::size_t copy = 0; copy < copies; ++copy) partitions.add_counted(keys[i], count);
        expected[keys[i]] += count * copies;
      }
      EXPECT_EQ(counter.sum_and_drop(partitions, kPartition, likely_distinct), reference::sum_of_squares(expected));
      for (const std::uint32_t key : keys) partitions.add(key);
      EXPECT_EQ(counter.sum_and_drop(partitions, kPartition, likely_distinct), keys.size());
      // Few enough keys from the last sum that, were their marks left in
      // the bitmap, it would count them as repeats; the rest new.
      for (std::size_t i = 0; i < keys.size(); ++i) partitions.add(i % 8 == 0 ? keys[i] : keys[i] + 1);
      EXPECT_EQ(counter.sum_and_drop(partitions, kPartition, likely_distinct), keys.size());
    }
  }
}

TEST(PartitionCounter, SumsKeysSeenOnceApartFromRepeats) {
  PartitionCounter counter(kFactor);
  sum_keys_seen_once_apart_from_repeats(counter);
}

// The bitmap's marks carry the number of the sum that made them. When the
// numbers wrap, the marks of sum 1 must not count again in the next sum 1.
TEST(PartitionCounter, ForgetsEveryMarkWhenTheSumsWrap) {
  PartitionCounter counter(kFactor);
  Partitions partitions;
  constexpr std::size_t kPartition = 7;
  // Distinct keys, an eighth of them the same from one sum to the next: too
  // few for the sum to give up on the bitmap, were they counted as repeats.
  const auto sum_keys = [&](std::uint32_t offset) {
    for (std::uint32_t key = 0; key < PartitionCounter::kMinBitmapWords; ++key)
      partitions.add(Partitions::mixed_of(kPartition, key * 97 + (key % 8 == 0 ? 0 : offset)));
    return counter.sum_and_drop(partitions, kPartition, true);
  };
  EXPECT_EQ(sum_keys(0), PartitionCounter::kMinBitmapWords);  // sum 1
  counter.set_last_bitmap_sum(UINT32_MAX);
  EXPECT_EQ(sum_keys(1), PartitionCounter::kMinBitmapWords);  // sum 1 again
}

TEST(PartitionCounter, CountsKeysThatCollideInItsTable) {
  // Keys that share one home slot in the table a 100-word partition gets
  // (at least 64 slots, at most a quarter full: 512).
  constexpr unsigned kTableBits = 9;
  constexpr std::size_t kPartition = 3;
  std::vector<std::uint32_t> keys;
  for (std::uint32_t key = 0; keys.size() < 100; ++key) {
    if (((key * kFactor) >> (64 - kTableBits)) == 1) keys.push_back(Partitions::mixed_of(kPartition, key));
  }
  Partitions partitions;
  Counts expected;
  for (const std::uint32_t key : keys) {
    partitions.add(key);
    ++expected[key];
  }
  PartitionCounter counter(kFactor);
  counter.compact(partitions, kPartition);
  EXPECT_EQ(partitions.words(kPartition), 100U);
  EXPECT_EQ(drain_partition(partitions, kPartition), expected);
}

}  // namespace
}  // namespace diagonal_picks
