// The distinct-key estimate tells keys that are almost all distinct from
// keys that repeat, and gives up on keys chosen to collide.

#include "tally/distinct_sample.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/key_sets.h"

namespace diagonal_picks {
namespace {

bool mostly_distinct(const std::vector<std::uint32_t>& keys) {
  DistinctSample sample;
  for (const std::uint32_t key : keys) {
    if (sample.sampled(key)) sample.add(key, 1);
  }
  return sample.mostly_distinct(keys.size());
}

TEST(DistinctSample, TellsDistinctKeysFromRepeatedOnes) {
  // Enough keys that the sample halves itself several times.
  EXPECT_TRUE(mostly_distinct(reference::random_mixed_keys(4000000, 4000000, 1)));
  EXPECT_TRUE(mostly_distinct(reference::random_mixed_keys(200000, 200000, 2)));
  EXPECT_FALSE(mostly_distinct(reference::random_mixed_keys(4000000, 2000000, 3)));
  EXPECT_FALSE(mostly_distinct(reference::random_mixed_keys(4000000, 1000, 4)));
}

TEST(DistinctSample, GivesUpOnCollidingKeys) {
  std::vector<std::uint32_t> keys = reference::colliding_mixed_keys(1 << 20, 20);
  for (auto& key : keys) key <<= 12;  // every one sampled, all in one home slot
  EXPECT_FALSE(mostly_distinct(keys));
}

}  // namespace
}  // namespace diagonal_picks
