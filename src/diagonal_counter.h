#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "tally/diagonal_tally.h"
#include "tally/tally_helper.h"

namespace diagonal_picks {

// The CPUs this process may run on (sched_getaffinity), at least 1.
unsigned allowed_cpus();

// The program's counter for read_cases: both tallies of a case, reused
// across cases, since clearing a small tally is cheaper than building it.
//
// A large case, on a machine where the process may use two CPUs or more,
// hands one direction to a helper thread, started at the first such case
// and kept for the rest of the run; small cases never start it.
class DiagonalCounter {
 public:
  explicit DiagonalCounter(unsigned cpus = allowed_cpus()) : may_use_helper_(cpus >= 2) {}

  // Counts the points of `coordinates`, X, Y, X, Y, ... (any number of them).
  void add(std::span<const std::int32_t> coordinates);
  double finish(std::int64_t N);

  // Whether the helper thread was started.
  bool started_helper() const { return helper_ != nullptr; }

 private:
  void add_batch(std::span<const std::int32_t> coordinates);

  // Points a case must have before its second direction moves to the
  // helper: below this, handing batches over costs more than it saves.
  static constexpr std::size_t kHelperPoints = std::size_t{1} << 16;

  bool may_use_helper_;
  bool helper_counts_this_case_ = false;
  std::size_t case_points_ = 0;
  DiagonalTally NEdiags_;
  DiagonalTally SEdiags_;  // counted by the helper once it counts this case
  // Keys of one direction, computed a batch of points at a time.
  static constexpr std::size_t kKeysAtATime = 2048;
  std::array<std::int32_t, kKeysAtATime> keys_{};
  std::unique_ptr<TallyHelper> helper_;
};

}  // namespace diagonal_picks
