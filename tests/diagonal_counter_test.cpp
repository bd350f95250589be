// The counter gives the same ratios whether it is handed both directions of
// each point at once or each direction on its own, as the reading threads
// hand them, finished there or not, across large and small cases.

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

enum class Handing { together, by_owner, by_owner_finished };

std::vector<double> ratios(Handing handing, const std::vector<std::vector<std::int32_t>>& cases) {
  DiagonalCounter counter;
  std::vector<double> results;
  for (const auto& coordinates : cases) {
    // Batches of a size the counter does not use inside, so that its own
    // batching is crossed at odd places.
    constexpr std::size_t kBatchValues = std::size_t{2} * 3001;
    for (std::size_t first = 0; first < coordinates.size(); first += kBatchValues) {
      const auto batch = std::span(coordinates).subspan(first, std::min(kBatchValues, coordinates.size() - first));
      if (handing == Handing::together) {
        counter.add(batch);
      } else {
        counter.add(1, batch);
        counter.add(0, batch);
      }
    }
    if (handing == Handing::by_owner_finished) {
      counter.all_added(1);
      counter.all_added(0);
    }
    results.push_back(counter.finish(static_cast<std::int64_t>(coordinates.size() / 2)));
  }
  return results;
}

TEST(DiagonalCounter, CountsTheSameHowEverThePointsAreHanded) {
  const std::vector<std::vector<std::int32_t>> cases = {
      random_points(200000, 1000, 1),     // large, with repeated keys
      random_points(10, 1000, 2),         // small, after a large one
      random_points(300000, 1 << 30, 3),  // large, distinct keys
      random_points(1, 5, 4),
      {},
  };
  const std::vector<double> together = ratios(Handing::together, cases);
  ASSERT_EQ(together.size(), cases.size());
  EXPECT_TRUE(std::isnan(together.back()));
  EXPECT_NE(together[0], together[2]);
  for (const Handing handing : {Handing::by_owner, Handing::by_owner_finished}) {
    const std::vector<double> by_owner = ratios(handing, cases);
    for (std::size_t i = 0; i + 1 < cases.size(); ++i) EXPECT_EQ(together[i], by_owner[i]) << "case " << i;
    EXPECT_TRUE(std::isnan(by_owner.back()));
  }
}

}  // namespace
}  // namespace diagonal_picks
