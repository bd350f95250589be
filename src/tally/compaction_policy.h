#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "tally/counting_table.h"
#include "tally/partitions.h"

namespace diagonal_picks {

// Decides when a partition's words are counted and rewritten as one word
// per distinct key (compacted): the tally's one policy for it. Compacting
// keys that are all new merges nothing and costs a pass over the partition;
// never compacting lets memory follow the keys read instead of the distinct
// ones. The decision reads two measurements:
//  - what the partition found the last time it was compacted: whether most
//    keys it took in were new;
//  - how many distinct keys the whole tally holds, estimated from a sample
//    of key values counted exactly: those whose mixed value ends in
//    `sample_bits` zero bits (every copy of a sampled key is in the sample).
//    The sample thins itself as it grows.
class CompactionPolicy {
 public:
  // Words a partition buffers before it is first due.
  static constexpr std::size_t kFirstDue = 2048;

  explicit CompactionPolicy(std::uint64_t slot_factor);

  // Notes a key that enters the partitions, seen `count` times.
  void note(std::uint32_t mixed, std::uint32_t count) {
    keys_ += count;
    if ((mixed & sample_mask_) == 0) sample(mixed);
  }
  // Notes keys that enter the partitions, seen once each.
  void note(std::span<const std::uint32_t> mixed) {
    keys_ += mixed.size();
    std::uint32_t mask = sample_mask_;  // a local: sampling stores could alias the member
    for (const std::uint32_t key : mixed) {
      if ((key & mask) == 0) {
        sample(key);
        mask = sample_mask_;
      }
    }
  }

  // Whether the partition, which now holds `words` words of the tally's
  // `total_words`, should be compacted now. Called when its words grew.
  bool should_compact(std::size_t partition, std::size_t words, std::size_t total_words);

  // Records a compaction that took the partition from `words_before` to
  // `words_after` words holding `distinct` keys.
  void compacted(std::size_t partition, std::size_t words_before, std::size_t distinct, std::size_t words_after);

  // The estimated number of distinct keys noted.
  std::uint64_t estimated_distinct() const;

  void clear();

 private:
  struct PartitionState {
    std::size_t compacted_words = 0;  // words after the last compaction
    std::size_t distinct = 0;         // keys after the last compaction
    std::size_t due = kFirstDue;      // words beyond compacted_words that make it due
    bool looked_new = true;           // most keys the last compaction took in were new
  };

  void sample(std::uint32_t mixed);

  std::array<PartitionState, Partitions::kPartitions> partitions_{};
  std::uint64_t keys_ = 0;
  std::size_t compacted_total_ = 0;  // compacted_words over all partitions
  CountingTable sample_;
  std::uint32_t sample_mask_;
  bool sample_lost_ = false;  // keys chosen to collide flooded the sample's table
};

}  // namespace diagonal_picks
