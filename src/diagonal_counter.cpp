#include "diagonal_counter.h"

#include <algorithm>
#include <utility>

namespace diagonal_picks {

void DiagonalCounter::add(std::span<const std::int32_t> coordinates) {
  // One direction at a time, so that only one tally's buffers compete for
  // the cache.
  add(0, coordinates);
  add(1, coordinates);
}

void DiagonalCounter::add(std::size_t owner, std::span<const std::int32_t> coordinates) {
  std::array<std::int32_t, kKeysAtATime>& keys = keys_[owner];
  DiagonalTally& tally = tally_of(owner);
  while (coordinates.size() >= 2) {
    const std::size_t points = std::min(coordinates.size() / 2, kKeysAtATime);
    if (owner == 0) {
      for (std::size_t i = 0; i < points; ++i) keys[i] = SEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
    } else {
      for (std::size_t i = 0; i < points; ++i) keys[i] = NEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
    }
    tally.add({keys.data(), points});
    coordinates = coordinates.subspan(2 * points);
  }
}

void DiagonalCounter::all_added(std::size_t owner) { sums_[owner] = tally_of(owner).finish(); }

double DiagonalCounter::finish(std::int64_t N) {
  // A direction not summed on a reader's thread is summed here.
  const auto sum_of = [this](std::size_t owner) {
    std::optional<std::uint64_t> sum = std::exchange(sums_[owner], std::nullopt);
    return sum.has_value() ? *sum : tally_of(owner).finish();
  };
  const std::uint64_t se = sum_of(0);
  return ratio_of_sums(N, sum_of(1), se);
}

}  // namespace diagonal_picks
