#include "diagonal_counter.h"

#include <sched.h>

#include <algorithm>
#include <system_error>

namespace diagonal_picks {

unsigned allowed_cpus() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
  return static_cast<unsigned>(std::max(CPU_COUNT(&cpus), 1));
}

void DiagonalCounter::add(std::span<const std::int32_t> coordinates) {
  while (coordinates.size() >= 2) {
    const std::size_t points = std::min(coordinates.size() / 2, kKeysAtATime);
    add_batch(coordinates.first(2 * points));
    coordinates = coordinates.subspan(2 * points);
  }
}

void DiagonalCounter::add_batch(std::span<const std::int32_t> coordinates) {
  const std::size_t points = coordinates.size() / 2;
  case_points_ += points;
  if (!helper_counts_this_case_ && may_use_helper_ && case_points_ >= kHelperPoints) {
    if (!helper_) {
      try {
        helper_ = std::make_unique<TallyHelper>(SEdiags_);
      } catch (const std::system_error&) {
        may_use_helper_ = false;  // no thread to be had: count on one
      }
    }
    helper_counts_this_case_ = helper_ != nullptr;
  }
  // One direction at a time, so that only one tally's buffers compete for
  // the cache.
  for (std::size_t i = 0; i < points; ++i) keys_[i] = SEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
  if (helper_counts_this_case_) {
    helper_->add({keys_.data(), points});
  } else {
    SEdiags_.add({keys_.data(), points});
  }
  for (std::size_t i = 0; i < points; ++i) keys_[i] = NEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
  NEdiags_.add({keys_.data(), points});
}

double DiagonalCounter::finish(std::int64_t N) {
  const std::uint64_t ne = NEdiags_.finish();
  std::uint64_t se = 0;
  if (helper_counts_this_case_) {
    se = helper_->finish();
    helper_counts_this_case_ = false;
  } else {
    se = SEdiags_.finish();
  }
  case_points_ = 0;
  return ratio_of_sums(N, ne, se);
}

}  // namespace diagonal_picks
