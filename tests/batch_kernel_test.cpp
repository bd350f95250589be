// The batch kernels against the scalar definitions, at every batch length
// that their vector loops handle differently, with the extreme keys in
// every position; and their copy of a line, wherever it may go.

#include "tally/batch_kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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
        std::uint32_t varying = 0;
        for (const std::int32_t key : with) varying |= static_cast<std::uint32_t>(key ^ with[0]);
        KeyRange range{};
        GetParam().range(with.data(), count, range);
        ASSERT_EQ(range.low, *low) << count << " keys, extreme at " << at;
        ASSERT_EQ(range.high, *high) << count << " keys, extreme at " << at;
        ASSERT_EQ(range.varying, varying) << count << " keys, extreme at " << at;
      }
    }
  }
}

// Keys on a grid of steps 2^k, off its multiples, share their low k bits;
// keys all equal show no grid.
TEST_P(EveryBatchKernel, FindsTheGridTheKeysLieOn) {
  for (const unsigned bits : {0U, 1U, 11U, 31U}) {
    for (std::size_t count = 2; count <= 40; ++count) {
      std::vector<std::int32_t> keys(count);  // the steps 0 to count - 1 in a scattered order
      for (std::size_t i = 0; i < count; ++i) {
        keys[i] = static_cast<std::int32_t>(5 + (static_cast<std::uint32_t>(i * 41 % count) << bits));
      }
      KeyRange range{};
      GetParam().range(keys.data(), count, range);
      ASSERT_EQ(stride_bits(range), bits) << count << " keys";
      // A batch of its own, or of one key, on another: the grid of both.
      KeyRange other{};
      GetParam().range(keys.data(), 1, other);
      EXPECT_EQ(stride_bits(other), 0U);
      other.low = other.high = range.low + (1 << 3);
      EXPECT_EQ(stride_bits(merged(range, other)), std::min(bits, 3U)) << count << " keys";
    }
  }
}

TEST_P(EveryBatchKernel, StreamsALineToExactlyItsPlace) {
  // Lines at every 32-byte-aligned place of a buffer, which keeps every
  // word around them.
  alignas(64) std::array<std::uint32_t, 4 * kStreamedLineWords> buffer{};
  std::array<std::uint32_t, kStreamedLineWords> line{};
  for (std::size_t at = 0; at + kStreamedLineWords <= buffer.size(); at += 8) {
    buffer.fill(7);
    for (std::size_t i = 0; i < line.size(); ++i) line[i] = static_cast<std::uint32_t>(at * 1000 + i);
    GetParam().stream_line(&buffer[at], line.data());
    GetParam().finish_streaming();
    for (std::size_t i = 0; i < buffer.size(); ++i) {
      const bool inside = i >= at && i < at + kStreamedLineWords;
      ASSERT_EQ(buffer[i], inside ? line[i - at] : 7U) << "line at " << at << ", word " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Supported, EveryBatchKernel, ::testing::ValuesIn(supported_batch_kernels()),
                         [](const ::testing::TestParamInfo<BatchKernel>& kernel) {
                           return std::string(kernel.param.name);
                         });

}  // namespace
}  // namespace diagonal_picks
