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
    constexpr std::size_t kBatchValues = std::size_t{2} * 3001;
    for (std::size_t first = 0; first < coordinates.size(); first += kBatchValues) {
      const std::size_t size = std::min(kBatchValues, coordinates.size() - first);
      counter.add(std::span(coordinates).subspan(first, size));
    }
    results.push_back(counter.finish(static_cast<std::int64_t>(coordinates.size() / 2)));
  }
  const std::size_t expected_threads = !has_large_case || cpus == 1 ? 0 : cpus == 2 ? 1 : 2;
  EXPECT_EQ(counter.threads_started(), expected_threads) << cpus << " CPUs";
  return results;
}

TEST(DiagonalCounter, ThreadsChangeNoResult) {
  constexpr std::size_t kThreadPoints = 65536;
  constexpr std::size_t kBatch = TallyWorker::kBatchKeys;
  const std::vector<std::vector<std::int32_t>> cases = {
      random_points(200000, 1000, 1),            // large, with repeated keys
      random_points(10, 1000, 2),                // small, after a large one
      random_points(300000, 1 << 30, 3),         // large, distinct keys
      random_points(kThreadPoints - 1, 100, 4),  // just below the threads' threshold
      random_points(kThreadPoints, 100, 5),      // just at it
      // Ending at a batch's boundary, one short and one past it.
      random_points(kThreadPoints + 3 * kBatch, 1 << 20, 6),
      random_points(kThreadPoints + 3 * kBatch - 1, 1 << 20, 7),
      random_points(kThreadPoints + 3 * kBatch + 1, 1 << 20, 8),
      {},
  };
  const std::vector<double> one = ratios(1, cases);
  ASSERT_EQ(one.size(), cases.size());
  for (const unsigned cpus : {2U, 4U, 8U}) {
    const std::vector<double> many = ratios(cpus, cases);
    for (std::size_t i = 0; i + 1 < cases.size(); ++i)
      EXPECT_EQ(one[i], many[i]) << "case " << i << ", " << cpus << " CPUs";
    EXPECT_TRUE(std::isnan(many.back()));
  }
  ratios(2, {random_points(1000, 10, 6), random_points(kThreadPoints - 1, 10, 7)});  // small cases start no thread
}

}  // namespace
}  // namespace diagonal_picks
