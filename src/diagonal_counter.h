#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "read/parallel_file_reader.h"
#include "tally/diagonal_tally.h"
#include "tally/tally_worker.h"

namespace diagonal_picks {

// The CPUs this process may run on (sched_getaffinity), at least 1.
unsigned allowed_cpus();

// The program's counter for read_cases: the tallies of a case, reused
// across cases, since clearing a small tally is cheaper than building it.
//
// A large case, where the process may use two CPUs or more, is counted by
// threads while the caller reads and computes both keys of each point:
// with two CPUs one worker counts both directions, with three or more one
// worker counts each. When the case ends, the caller sums one direction
// while a worker sums the other. The threads start at the first large case
// and are kept; small cases, streams of them, and a process allowed one
// CPU start none.
//
// As a PointSink, it counts the points that the threads of a
// ParallelFileReader read: one direction each, on the reader's threads.
class DiagonalCounter final : public PointSink {
 public:
  // The two directions, SE and NE.
  static constexpr std::size_t kOwners = 2;

  explicit DiagonalCounter(unsigned cpus = allowed_cpus());

  // Counts the points of `coordinates`, X, Y, X, Y, ... (any number of them).
  void add(std::span<const std::int32_t> coordinates);
  // Counts them in one direction: 0 for SE, 1 for NE.
  void add(std::size_t owner, std::span<const std::int32_t> coordinates) override;
  // Finishes that direction's tally, for finish() to take its sum.
  void all_added(std::size_t owner) override;
  double finish(std::int64_t N);

  // How many counting threads were started.
  std::size_t threads_started() const { return workers_.size(); }

 private:
  // Points a case must have before threads count it: below this, handing
  // batches over costs more than it saves.
  static constexpr std::size_t kThreadPoints = std::size_t{1} << 16;
  // Keys of one direction computed at a time, when counting here.
  static constexpr std::size_t kKeysAtATime = 2048;

  void count_here(std::span<const std::int32_t> coordinates);
  DiagonalTally& tally_of(std::size_t owner) { return owner == 0 ? SEdiags_ : NEdiags_; }
  void hand_over(std::span<const std::int32_t> coordinates);
  bool start_workers();

  unsigned cpus_;
  bool threads_count_this_case_ = false;
  std::size_t case_points_ = 0;
  DiagonalTally NEdiags_;
  DiagonalTally SEdiags_;
  // Sums of tallies finished on the reader's threads, SE and NE.
  std::array<std::optional<std::uint64_t>, kOwners> sums_;
  // Keys being computed, one array for each direction's thread.
  std::array<std::array<std::int32_t, kKeysAtATime>, kOwners> keys_{};
  // With two CPUs, one worker; with more, one for each direction.
  std::vector<std::unique_ptr<TallyWorker>> workers_;
};

}  // namespace diagonal_picks
