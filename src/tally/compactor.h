#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "tally/counting_table.h"
#include "tally/page_array.h"
#include "tally/partitioner.h"

namespace diagonal_picks {

// Counts one partition at a time: the keys that a partition buffered since
// it was last compacted, together with what that compaction left.
//
// A partition is counted in a table sized for it, which stays in cache.
// Where the table cannot take the keys, because there are too many of them
// or a probe runs too long (keys chosen to collide), the partition is
// radix sorted instead and its runs counted; sorting costs a few passes
// over the keys, whatever they are.
class Compactor {
 public:
  // How many keys a partition buffers before its first compaction.
  static constexpr std::size_t kFirstDue = 256;

  // Rewrites the partition as its distinct keys: a key seen once stays a
  // key, one seen more often becomes a counted key. Then sets how many keys
  // the partition may buffer before it is compacted again.
  void compact(Partitioner& partitions, std::size_t partition);

  // The sum over the partition's distinct keys of count * count, modulo
  // 2^64. Leaves the partition unchanged.
  std::uint64_t sum_of_squared_counts(const Partitioner& partitions, std::size_t partition);

  // Gives back the memory a large case needed.
  void release_memory();

 private:
  // Counts the partition's keys into `table_`, or failing that into
  // `sorted_`, a list of distinct keys with their counts. True for the table.
  bool count(const Partitioner& partitions, std::size_t partition);
  void sort_and_merge();
  void radix_sort();

  // Copies the distinct keys in `sorted_` to the two buffers below, the
  // keys seen once and the keys seen more often; returns their numbers.
  std::pair<std::size_t, std::size_t> split_sorted_by_count();

  CountingTable table_;
  PageArray<CountedKey> sorted_;
  PageArray<CountedKey> scratch_;
  PageArray<std::uint32_t> seen_once_;
  PageArray<CountedKey> seen_more_;
};

}  // namespace diagonal_picks
