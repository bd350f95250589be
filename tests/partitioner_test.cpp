// The partitioner against a model of each partition's keys, at sizes around
// a staging line and a chunk.

#include "tally/partitioner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "support/key_sets.h"

namespace diagonal_picks {
namespace {

std::vector<std::uint32_t> keys_of(const Partitioner& partitions, std::size_t partition) {
  std::vector<std::uint32_t> keys;
  partitions.for_each_key_run(
      partition, [&](std::span<const std::uint32_t> run) { keys.insert(keys.end(), run.begin(), run.end()); });
  return keys;
}

std::vector<CountedKey> counted_of(const Partitioner& partitions, std::size_t partition) {
  std::vector<CountedKey> counted;
  partitions.for_each_counted_run(
      partition, [&](std::span<const CountedKey> run) { counted.insert(counted.end(), run.begin(), run.end()); });
  return counted;
}

// Each partition gets exactly its keys, in order, staged ones included, and
// add() reports a partition due once it holds its due number of keys.
TEST(Partitioner, ScattersKeysByTheirTopBits) {
  constexpr std::size_t kDue = 100;
  Partitioner partitions(kDue);
  for (const std::size_t count : {1U, 15U, 16U, 17U, 5000U, 300000U}) {
    const std::vector<std::uint32_t> keys =
        count == 300000U ? reference::colliding_mixed_keys(count, 20) : reference::random_mixed_keys(count, count, 5);
    std::map<std::size_t, std::vector<std::uint32_t>> expected;
    for (const std::uint32_t key : keys) {
      const std::size_t partition = Partitioner::partition_of(key);
      expected[partition].push_back(key);
      if (partitions.add(key)) {
        ASSERT_EQ(partitions.due_partition(), partition);
        ASSERT_GE(partitions.key_count(partition), kDue);
        partitions.set_due(partition, partitions.key_count(partition) + kDue);
      }
    }
    std::vector<std::size_t> in_use;
    partitions.for_each_partition_in_use([&](std::size_t partition) { in_use.push_back(partition); });
    ASSERT_EQ(in_use.size(), expected.size());
    for (const std::size_t partition : in_use) {
      ASSERT_EQ(keys_of(partitions, partition), expected[partition]) << count << " keys, partition " << partition;
      ASSERT_EQ(partitions.key_count(partition), expected[partition].size());
    }
    partitions.clear();
    partitions.for_each_partition_in_use([](std::size_t) { FAIL() << "a partition in use after clear()"; });
  }
}

TEST(Partitioner, RewritesOnePartition) {
  Partitioner partitions(1000);
  const std::vector<std::uint32_t> keys = reference::colliding_mixed_keys(700, 16);
  for (const std::uint32_t key : keys) ASSERT_FALSE(partitions.add(key));
  const std::size_t target = Partitioner::partition_of(keys[0]);
  partitions.empty(target);
  EXPECT_EQ(partitions.key_count(target), 0U);
  const std::vector<std::uint32_t> singles = {keys[1], keys[2]};
  std::vector<CountedKey> counted(300);
  for (std::size_t i = 0; i < counted.size(); ++i) counted[i] = {keys[i + 3], static_cast<std::uint32_t>(i + 2)};
  partitions.append_keys(target, singles);
  partitions.append_counted(target, counted);
  EXPECT_EQ(keys_of(partitions, target), singles);
  const std::vector<CountedKey> read = counted_of(partitions, target);
  ASSERT_EQ(read.size(), counted.size());
  EXPECT_TRUE(std::equal(read.begin(), read.end(), counted.begin(),
                         [](CountedKey a, CountedKey b) { return a.key == b.key && a.count == b.count; }));
}

}  // namespace
}  // namespace diagonal_picks
