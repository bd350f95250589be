#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "read/parallel_reader.h"
#include "tally/diagonal_tally.h"

namespace diagonal_picks {

// The program's counter for read_cases: the tallies of a case, reused
// across cases, since clearing a small tally is cheaper than building it.
//
// It counts the points handed to it on the caller's thread. As a PointSink,
// it counts the points that the threads of a ParallelReader read: one
// direction on each owner's thread, which then also sums that direction.
class DiagonalCounter final : public PointSink {
 public:
  // The two directions, SE and NE.
  static constexpr std::size_t kOwners = 2;

  // Counts the points of `coordinates`, X, Y, X, Y, ... (any number of them).
  void add(std::span<const std::int32_t> coordinates);
  // Counts them in one direction: 0 for SE, 1 for NE.
  void add(std::size_t owner, std::span<const std::int32_t> coordinates) override;
  // Finishes that direction's tally, for finish() to take its sum.
  void all_added(std::size_t owner) override;
  double finish(std::int64_t N);

 private:
  // Keys of one direction computed at a time.
  static constexpr std::size_t kKeysAtATime = 2048;

  DiagonalTally& tally_of(std::size_t owner) { return owner == 0 ? SEdiags_ : NEdiags_; }

  DiagonalTally NEdiags_;
  DiagonalTally SEdiags_;
  // Sums of tallies finished on the reader's threads, SE and NE.
  std::array<std::optional<std::uint64_t>, kOwners> sums_;
  // Keys being computed, one array for each direction's thread.
  std::array<std::array<std::int32_t, kKeysAtATime>, kOwners> keys_{};
};

}  // namespace diagonal_picks
