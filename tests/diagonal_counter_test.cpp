// The counter gives the same ratios whether a helper thread counts one
// direction or not, across large and small cases in any order.

#include "diagonal_counter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace diagonal_picks {
namespace {

std::vector<std::int32_t> random_points(std::size_t points, std::int32_t spread, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::int32_t> coordinate(-spread, spread);
  std::vector<std::int32_t> coordinates(2 * points);
  for (auto& value : coordinates) value = coordinate(random);
  return coordinates;
}

std::vector<double> ratios(unsigned cpus, const std::vector<std::vector<std::int32_t>>& cases) {
  DiagonalCounter counter(cpus);
  const bool has_large_case =
      std::ranges::any_of(cases, [](const auto& coordinates) { return coordinates.size() >= 2 * 65536; });
  std::vector<double> results;
  for (const auto& coordinates : cases) {
    // Batches of a size the counter does not use inside, so that its own
    // batching is crossed at odd places.
    constexpr std::size_t kBatchValues = 2 * 3001;
    for (std::size_t first = 0; first < coordinates.size(); first += kBatchValues) {
      const std::size_t size = std::min(kBatchValues, coordinates.size() - first);
      counter.add(std::span(coordinates).subspan(first, size));
    }
    results.push_back(counter.finish(static_cast<std::int64_t>(coordinates.size() / 2)));
  }
  EXPECT_EQ(counter.started_helper(), cpus >= 2 && has_large_case);
  return results;
}

TEST(DiagonalCounter, HelperThreadChangesNoResult) {
  const std::vector<std::vector<std::int32_t>> cases = {
      random_points(200000, 1000, 1),     // large, with repeated keys
      random_points(10, 1000, 2),         // small, after a large one
      random_points(300000, 1 << 30, 3),  // large, distinct keys
      random_points(65535, 100, 4),       // just below the helper's threshold
      random_points(65536, 100, 5),       // just at it
      {},
  };
  const std::vector<double> one = ratios(1, cases);
  const std::vector<double> two = ratios(2, cases);
  const std::vector<double> four = ratios(4, cases);
  ratios(2, {random_points(1000, 10, 6), random_points(65535, 10, 7)});  // small cases start no thread
  ASSERT_EQ(one.size(), cases.size());
  for (std::size_t i = 0; i + 1 < cases.size(); ++i) {
    EXPECT_EQ(one[i], two[i]) << "case " << i;
    EXPECT_EQ(one[i], four[i]) << "case " << i;
  }
  EXPECT_TRUE(std::isnan(two.back()));
}

}  // namespace
}  // namespace diagonal_picks
