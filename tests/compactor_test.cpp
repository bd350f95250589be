// Compaction and counting of one partition against a map, on the table, the
// small sort and the radix sort paths.

#include "tally/compactor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "support/key_sets.h"

namespace diagonal_picks {
namespace {

struct PartitionSet {
  const char* name;
  std::vector<std::uint32_t> keys;  // all in one partition
};

std::vector<PartitionSet> partition_sets() {
  const auto in_one_partition = [](std::vector<std::uint32_t> keys) {
    for (auto& key : keys)
      key = (key >> Partitioner::kPartitionBits) | 0x12345678U << (32 - Partitioner::kPartitionBits);
    return keys;
  };
  return {
      {"a few keys", in_one_partition(reference::random_mixed_keys(40, 10, 1))},
      {"distinct keys", in_one_partition(reference::random_mixed_keys(3000, 3000, 2))},
      {"repeated keys", in_one_partition(reference::random_mixed_keys(20000, 500, 3))},
      {"colliding keys", reference::colliding_mixed_keys(20000, 9)},
      {"more keys than a table takes", in_one_partition(reference::random_mixed_keys(100000, 60000, 4))},
  };
}

std::map<std::uint32_t, std::uint64_t> contents(const Partitioner& partitions, std::size_t partition) {
  std::map<std::uint32_t, std::uint64_t> counts;
  partitions.for_each_key_run(partition, [&](std::span<const std::uint32_t> run) {
    for (const std::uint32_t key : run) ++counts[key];
  });
  partitions.for_each_counted_run(partition, [&](std::span<const CountedKey> run) {
    for (const CountedKey& counted : run) counts[counted.key] += counted.count;
  });
  return counts;
}

// Compacting in the middle and at the end keeps every count, leaves each key
// once, keeps keys seen once as keys, and sums as the map does.
TEST(Compactor, CompactsAndSumsLikeAMap) {
  Compactor compactor;
  for (const PartitionSet& set : partition_sets()) {
    Partitioner partitions(Compactor::kFirstDue);
    const std::size_t partition = Partitioner::partition_of(set.keys[0]);
    std::vector<std::uint32_t> seen;
    for (const std::uint32_t key : set.keys) {
      seen.push_back(key);
      if (partitions.add(key)) compactor.compact(partitions, partition);
    }
    const auto expected = reference::count_in_map(seen);
    EXPECT_EQ(compactor.sum_of_squared_counts(partitions, partition), reference::sum_of_squares(expected)) << set.name;
    compactor.compact(partitions, partition);
    EXPECT_EQ(contents(partitions, partition), expected) << set.name;
    std::size_t entries = partitions.key_count(partition) + partitions.counted_count(partition);
    EXPECT_EQ(entries, expected.size()) << set.name;
    partitions.for_each_counted_run(partition, [&](std::span<const CountedKey> run) {
      for (const CountedKey& counted : run) EXPECT_GT(counted.count, 1U) << set.name;
    });
    EXPECT_EQ(compactor.sum_of_squared_counts(partitions, partition), reference::sum_of_squares(expected)) << set.name;
  }
}

}  // namespace
}  // namespace diagonal_picks
