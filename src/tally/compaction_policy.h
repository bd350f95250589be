#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "tally/counting_table.h"
#include "tally/partitions.h"

namespace diagonal_picks {

// Decides when a partition's words are counted and rewritten as one word
// per distinct key (compacted): the tally's one policy for it. Each
// compaction reads the partition's compacted words again, so the policy
// compacts only when memory asks for it: when the words of all partitions
// pass what the tally's distinct keys allow. Until then, keys that are all
// new (which compacting would not merge) and keys that repeat cost the same
// 4 bytes each. What it measured also tells which partitions hold keys
// likely distinct at the end of a case.
//
// The distinct keys are estimated from a sample of key values counted
// exactly: those whose mixed value ends in `sample_bits` zero bits (every
// copy of a sampled key is in the sample). The sample thins itself as it
// grows.
class CompactionPolicy {
 public:
  explicit CompactionPolicy(std::uint64_t slot_factor);

  // Notes a key that enters the partitions.
  void note(std::uint32_t mixed) {
    if ((mixed & sample_mask_) == 0) sample(mixed);
  }
  // Notes keys that enter the partitions.
  void note(std::span<const std::uint32_t> mixed) {
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
  bool should_compact(std::size_t partition, std::size_t words, std::size_t total_words) const;

  // Records a compaction that left the partition with `words` words.
  void compacted(std::size_t partition, std::size_t words);

  // Whether the partition's keys are likely distinct but for a few: it was
  // never compacted since the tally was last cleared, and at least three
  // in four of the keys noted, `noted_words` words in all, look distinct.
  bool likely_distinct(std::size_t partition, std::uint64_t noted_words) const {
    return compacted_words_[partition] == 0 && 4 * estimated_distinct() >= 3 * noted_words;
  }

  // The words all partitions may hold before any is compacted: 6 bytes per
  // distinct key, counting as few keys as the estimate likely means, and 1
  // to 2 MiB more.
  std::uint64_t budget_words() const;

  // The estimated number of distinct keys noted.
  std::uint64_t estimated_distinct() const;

  void clear();

 private:
  void sample(std::uint32_t mixed);

  std::array<std::size_t, Partitions::kPartitions> compacted_words_{};  // after each one's last compaction
  std::size_t compacted_total_ = 0;                                     // their sum
  CountingTable sample_;
  std::uint32_t sample_mask_;
};

}  // namespace diagonal_picks
