#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "page_array.h"
#include "tally/counting_table.h"
#include "tally/partitions.h"

namespace diagonal_picks {

// Counts one partition at a time and writes it back compacted: one word per
// distinct key (more where a count exceeds what a word holds).
//
// A list of up to kMaxTableWords words is counted in one table, at most a
// quarter full, which stays in cache. A longer one is first split by its
// next key bits into buckets of about kBucketWords words, each counted the
// same way. Reading frees each chunk for the writing, so counting needs no
// more memory than the partition holds.
class PartitionCounter {
 public:
  // Its table (1 MiB) stays in the second-level cache; 2^15 took x2^11 from
  // 11.9 to 10.5 ns per key against 2^14, whose compactions split first.
  static constexpr std::size_t kMaxTableWords = std::size_t{1} << 15;
  static constexpr std::size_t kBucketWords = std::size_t{1} << 10;
  // Up to 4,096 buckets at a time, whose lines (256 KiB) stay in the
  // second-level cache: one-partition 15.1 against 14.0 ns per key with
  // 256, which split its lists of 3.6 million words twice.
  static constexpr unsigned kMaxSplitBits = 12;
  static constexpr std::size_t kMaxSplitBuckets = std::size_t{1} << kMaxSplitBits;
  // Summing keys likely distinct, a list of at least kMinBitmapWords words
  // looks for repeats in a bitmap of its 24 key bits (in 4 MiB), unsplit: 20
  // million all-distinct keys took 11.8 against 13.4 ns per key where the
  // list was first split into buckets for bitmaps of 32 KiB. A shorter
  // list goes to a table, which stays in a nearer cache.
  static constexpr std::size_t kMinBitmapWords = 8192;
  // Each word of the bitmap holds 32 key bits and, in its low half, the
  // number of the sum that marked it last: a word from an earlier sum
  // reads as empty, so the bitmap (4 MiB) is never zeroed between sums.
  // The loop alone, 256 lists of 39,000 keys: 2.05 ns per key, against
  // 2.7 marking 2 MiB of plain bits and zeroing them after each list.
  static constexpr unsigned kBitmapWordKeys = 32;

  explicit PartitionCounter(std::uint64_t slot_factor);

  // Counts the partition's words and writes them back compacted.
  void compact(Partitions& partitions, std::size_t partition);

  // Counts the partition's words and leaves it empty; returns the sum of
  // their counts' squares, modulo 2^64. Keys `likely_distinct`, as the
  // compaction policy judges them, are first looked up in a bitmap, which
  // sums them if few repeat; for keys that repeat more, a wasted pass.
  std::uint64_t sum_and_drop(Partitions& partitions, std::size_t partition, bool likely_distinct);

  // Gives back the memory a large partition needed.
  void release_memory();

  // Numbers the last bitmap sum `number`: tests use it to reach the wrap.
  void set_last_bitmap_sum(std::uint32_t number) { bitmap_sum_ = number; }

 private:
  // Counts the words of `list`, taken out of the partition, and writes
  // them back compacted if `write_back`; returns the sum of their counts'
  // squares, modulo 2^64.
  std::uint64_t count_partition(Partitions& partitions, Partitions::List& list, std::size_t partition, bool write_back);
  // Counts the words of `list`, whose first `shared_bits` key bits are the
  // same, and appends them compacted to the partition if `write_back`;
  // returns the sum of their counts' squares, modulo 2^64.
  std::uint64_t count(Partitions& partitions, Partitions::List& list, unsigned shared_bits, std::size_t partition,
                      bool write_back);
  // Counts the list's words in a table of their own.
  void count_in_table(const Partitions& partitions, const Partitions::List& list);
  // Counts words into the table. Out of line: inlined into the loop over
  // the list's chunks, the table's state no longer fit in registers.
  [[gnu::noinline]] void fill_table(std::span<const std::uint32_t> words);
  // The sum of the squared counts of the list's words, from a bitmap of
  // their key bits: exact where no key repeats, or where every word counts
  // one. Nothing otherwise.
  std::optional<std::uint64_t> sum_from_bitmap(const Partitions& partitions, const Partitions::List& list);
  void write(Partitions& partitions, std::size_t partition, CountedKey counted);
  void flush_written(Partitions& partitions, std::size_t partition);

  CountingTable table_;
  PageArray<std::uint64_t> bitmap_;      // a bit per key of a partition, and the sum that set it
  std::uint32_t bitmap_sum_ = 0;         // the last sum's number
  std::vector<std::uint32_t> repeated_;  // words found marked in the bitmap
  // A cache line per bucket while splitting.
  static constexpr std::size_t kSplitLineWords = 16;
  // kMaxSplitBuckets lines, paged in by the first split; each line's last
  // word, the count of its words staged, is zero between splits.
  PageArray<std::uint32_t> lines_;
  std::array<std::uint32_t, 256> written_{};
  std::size_t written_size_ = 0;
};

}  // namespace diagonal_picks
