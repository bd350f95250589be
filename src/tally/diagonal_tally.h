#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tally/batch_kernel.h"
#include "tally/compaction_policy.h"
#include "tally/counting_table.h"
#include "tally/key_hash.h"
#include "tally/partition_counter.h"
#include "tally/partitions.h"
#include "tally/range_counts.h"

namespace diagonal_picks {

// Counts how many points of one case lie on each diagonal of one direction,
// keyed by Y - X or by X + Y, and sums the squares of those counts. It
// needs no order, so it counts in whatever grouping suits the keys:
//  - narrow: keys close together, or on a grid of close steps of a power
//    of two, in an array indexed by the key;
//  - few: up to 32,768 distinct keys, in one table in cache;
//  - many: mixed keys scattered over partitions, each compacted to its
//    distinct keys when the policy says so and counted on its own at the
//    end. Memory follows the distinct keys, not the points.
// A case moves on from one to the next as its keys demand, and never back
// to narrow once it left it.
//
// Counts are exact up to 2^32 - 1 points on one diagonal.
class DiagonalTally {
 public:
  // `kernel` runs the loops over batches of keys; tests pass each supported
  // one in turn.
  explicit DiagonalTally(const BatchKernel& kernel = best_batch_kernel());

  // Counts one more point on the diagonal of each key. Whatever thread
  // goes on with the tally afterwards, once it synchronises with this one,
  // sees all that this call wrote, streamed lines included.
  void add(std::span<const std::int32_t> keys);
  void add(std::int32_t key) { add({&key, 1}); }

  // The sum over all diagonals of count * count, modulo 2^64. The tally is
  // then empty, ready for the next case; cheap when the case was small.
  std::uint64_t finish();

 private:
  enum class Stage { narrow, few, many };
  static constexpr std::size_t kBatch = 256;
  // Emptying the table costs the keys it held, not its slots: a first size
  // that holds the keys of most small cases costs nothing more.
  static constexpr unsigned kFirstTableBits = 8;
  // 1 MiB of slots, in the last-level cache: a case of up to 32,768
  // distinct keys stays in the table, where one that moves on handles most
  // of its keys twice and sums 256 partitions. 2^18 took two key sets
  // (x2^11 and repeated-half) past their memory bounds.
  static constexpr unsigned kMaxTableBits = 17;
  // Its largest sizes take huge pages: 2 MiB where 2^17 slots in small
  // pages take 1 MiB, but 256 faults fewer.
  static constexpr unsigned kHugeTableBits = 15;

  // Adds keys to the table until it is full; returns the keys not added.
  std::span<const std::int32_t> add_to_table(std::span<const std::int32_t> keys, const KeyRange& range);
  void add_to_partitions(std::span<const std::int32_t> keys);
  // Adds a key seen `count` times in the current stage, few or many.
  void add_counted(std::int32_t key, std::uint32_t count);
  // Doubles the full table; false at its largest size.
  bool grow_table();
  // Moves the case on from the narrow array, which refused keys in `range`.
  void leave_narrow(const KeyRange& range);
  void leave_table();
  void move_to_partitions();
  void compact(std::size_t partition);

  const BatchKernel* kernel_;
  key_hash::Seed seed_;
  Stage stage_ = Stage::narrow;
  bool narrow_closed_ = false;  // this case's keys left the narrow array, or never can enter it
  std::uint64_t keys_ = 0;      // keys added in this case
  KeyRange seen_{};             // the range of the keys in the table
  RangeCounts narrow_;
  CountingTable table_;
  Partitions partitions_;
  CompactionPolicy policy_;
  PartitionCounter counter_;
  std::vector<std::int32_t> seen_once_;  // keys moving from the table to the partitions
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
// Finishes both tallies.
double pick_ratio(std::int64_t N, DiagonalTally& NEdiags, DiagonalTally& SEdiags);

// The same from the two tallies' sums of squared counts.
double ratio_of_sums(std::int64_t N, std::uint64_t NEdiags_sum, std::uint64_t SEdiags_sum);

}  // namespace diagonal_picks
