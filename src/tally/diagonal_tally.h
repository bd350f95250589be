#pragma once

#include <cstdint>
#include <span>

#include "tally/compactor.h"
#include "tally/counting_table.h"
#include "tally/distinct_sample.h"
#include "tally/key_hash.h"
#include "tally/partitioner.h"

namespace diagonal_picks {

// Counts how many points of one case lie on each diagonal of one direction,
// keyed by Y - X or by X + Y, and sums the squares of those counts.
//
// Keys are mixed first (see key_hash.h). A case with few distinct keys is
// counted in one small table that stays in cache. Once the keys outgrow it,
// or a probe runs too long, they are scattered over partitions instead;
// a partition that has buffered enough keys is compacted to its distinct
// keys, and the sum counts each partition on its own. Memory follows the
// distinct keys, not the points.
//
// Counts are exact up to 2^32 - 1 points on one diagonal.
class DiagonalTally {
 public:
  // Counts one more point on the diagonal of each key.
  void add(std::span<const std::int32_t> keys);
  void add(std::int32_t key) { add({&key, 1}); }

  // The sum over all diagonals of count * count, modulo 2^64.
  std::uint64_t sum_of_squared_counts() const;

  // Empties the tally for the next case; cheap when the case was small.
  void clear();

 private:
  static constexpr unsigned kFirstTableBits = 6;
  static constexpr unsigned kMaxTableBits = 16;

  void add_mixed(std::span<const std::uint32_t> mixed);
  void compact_or_defer(std::size_t partition);
  void grow_table();
  void move_to_partitions();

  key_hash::Seed seed_ = key_hash::process_seed();
  CountingTable table_{kFirstTableBits};
  bool partitioned_ = false;
  Partitioner partitions_{Compactor::kFirstDue};  // empty while not partitioned_
  std::uint64_t partitioned_keys_ = 0;
  DistinctSample sample_;
  // Scratch space for counting, not part of the tally's value.
  mutable Compactor compactor_;
};

// The keys of the two diagonals through (X, Y): Y - X and X + Y, wrapped
// around modulo 2^32 where they leave the 32-bit range.
inline std::int32_t NEdiag_of(std::int32_t X, std::int32_t Y) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(Y) - static_cast<std::uint32_t>(X));
}
inline std::int32_t SEdiag_of(std::int32_t X, std::int32_t Y) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(X) + static_cast<std::uint32_t>(Y));
}

// Adds the point (X, Y) to both tallies.
inline void add_point(DiagonalTally& NEdiags, DiagonalTally& SEdiags, std::int32_t X, std::int32_t Y) {
  NEdiags.add(NEdiag_of(X, Y));
  SEdiags.add(SEdiag_of(X, Y));
}

// The share of the N * N ordered picks that are picks of two different points
// on a common diagonal, counted once per shared direction:
// (sum of squared counts - 2N) / (N * N). Integer steps wrap modulo 2^64;
// N = 0 gives 0.0 / 0.0, a NaN. A negative N, which adds no points, gives
// 2 / |N|.
double pick_ratio(std::int64_t N, const DiagonalTally& NEdiags, const DiagonalTally& SEdiags);

// The same from the two tallies' sums of squared counts.
double ratio_of_sums(std::int64_t N, std::uint64_t NEdiags_sum, std::uint64_t SEdiags_sum);

}  // namespace diagonal_picks
