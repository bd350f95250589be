// The batch kernels against the scalar definitions, at every batch length
// that their vector loops handle differently, with the extreme keys in
// every position.

#include "tally/batch_kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace diagonal_picks {
namespace {

class EveryBatchKernel : public ::testing::TestWithParam<BatchKernel> {};

TEST_P(EveryBatchKernel, MixesAsTheScalarMix) {
  std::mt19937 random(5);
  for (const key_hash::Seed seed : {key_hash::Seed{}, key_hash::Seed{0xDEADBEEFU, 0x01234567U}}) {
    for (std::size_t count = 1; count <= 300; ++count) {
      std::vector<std::int32_t> keys(count);
      for (auto& key : keys) key = static_cast<std::int32_t>(random());
      keys[random() % count] = INT32_MIN;
      keys[random() % count] = -1;
      std::vector<std::uint32_t> mixed(count + 1, 12345);  // one past the end stays as it is
      GetParam().mix(keys.data(), mixed.data(), count, seed);
      for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(mixed[i], key_hash::mix(static_cast<std::uint32_t>(keys[i]), seed)) << count << " keys, " << i;
      }
      ASSERT_EQ(mixed[count], 12345U);
    }
  }
}

TEST_P(EveryBatchKernel, FindsTheRangeWhereverItsEndsLie) {
  std::mt19937 random(6);
  for (std::size_t count = 1; count <= 300; ++count) {
    std::vector<std::int32_t> keys(count);
    for (auto& key : keys) key = static_cast<std::int32_t>(random() % 2001) - 1000;
    for (const std::size_t at : {std::size_t{0}, count / 2, count - 1}) {
      for (const std::int32_t extreme : {INT32_MIN, INT32_MAX}) {
        std::vector<std::int32_t> with = keys;
        with[at] = extreme;
        const auto [low, high] = std::minmax_element(with.begin(), with.end());
        const KeyRange range = GetParam().range(with.data(), count);
        ASSERT_EQ(range.low, *low) << count << " keys, extreme at " << at;
        ASSERT_EQ(range.high, *high) << count << " keys, extreme at " << at;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Supported, EveryBatchKernel, ::testing::ValuesIn(supported_batch_kernels()),
                         [](const ::testing::TestParamInfo<BatchKernel>& kernel) {
                           return std::string(kernel.param.name);
                         });

}  // namespace
}  // namespace diagonal_picks
