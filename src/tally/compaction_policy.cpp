#include "tally/compaction_policy.h"

#include <algorithm>
#include <vector>

namespace diagonal_picks {
namespace {

constexpr unsigned kFirstSampleBits = 8;
constexpr unsigned kFirstSampleTableBits = 6;
constexpr unsigned kMaxSampleTableBits = 14;

// The memory guard: words the partitions may hold per estimated distinct
// key (as a fraction: 6 bytes), and beyond that in any case. The more they
// may hold, the fewer times the compacted words are read again: 3/2 took
// x2^11 from 11.4 to 10.0 ns per key against 11/8.
constexpr std::uint64_t kWordsPerDistinctNumerator = 3;
constexpr std::uint64_t kWordsPerDistinctDenominator = 2;
constexpr std::uint64_t kFreeWords = std::uint64_t{1} << 19;
// The guard compacts a partition only when it took in this share of its
// compacted words (or kMinGuardWords), so it never compacts for a handful.
constexpr std::size_t kGuardShare = 8;
constexpr std::size_t kMinGuardWords = 256;

}  // namespace

CompactionPolicy::CompactionPolicy(std::uint64_t slot_factor)
    : sample_(kFirstSampleTableBits, slot_factor), sample_mask_((1U << kFirstSampleBits) - 1) {}

bool CompactionPolicy::should_compact(std::size_t partition, std::size_t words, std::size_t total_words) {
  PartitionState& state = partitions_[partition];
  const std::size_t taken_in = words - std::min(words, state.compacted_words);
  const std::uint64_t estimate = estimated_distinct();
  // Memory first: past the budget that the distinct keys allow, compact the
  // partition that grows once it took in its share of all the words taken
  // in since the partitions' last compactions, or an eighth of what it
  // holds if that is more: the partitions that took in most go first, and
  // each compaction reads a partition for many new words, not a handful.
  const bool over_budget =
      !sample_lost_ && total_words > estimate * kWordsPerDistinctNumerator / kWordsPerDistinctDenominator + kFreeWords;
  const std::size_t backlog = total_words - std::min(total_words, compacted_total_);
  if (over_budget &&
      taken_in >= std::max({kMinGuardWords, state.compacted_words / kGuardShare, backlog / Partitions::kPartitions})) {
    return true;
  }
  if (taken_in < state.due) return false;
  // Keys that looked new, in a tally that looks at least four fifths
  // distinct: compacting would merge little, so put it off.
  const bool mostly_distinct = !sample_lost_ && 5 * estimate >= 4 * keys_;
  if (state.looked_new && mostly_distinct) {
    state.due *= 2;
    return false;
  }
  return true;
}

void CompactionPolicy::compacted(std::size_t partition, std::size_t words_before, std::size_t distinct,
                                 std::size_t words_after) {
  PartitionState& state = partitions_[partition];
  const std::size_t taken_in = words_before - std::min(words_before, state.compacted_words);
  const std::size_t new_keys = distinct - std::min(distinct, state.distinct);
  state.looked_new = 2 * new_keys > taken_in;
  compacted_total_ += words_after;
  compacted_total_ -= state.compacted_words;
  state.compacted_words = words_after;
  state.distinct = distinct;
  // Take in two or four times what the partition holds before the next
  // compaction, so that one costs a pass over at most 1.5 (or 1.25) times
  // the words it takes in.
  state.due = std::max(kFirstDue, words_after * (state.looked_new ? 4 : 2));
}

void CompactionPolicy::sample(std::uint32_t mixed) {
  if (!sample_.add(mixed, 1)) {
    sample_lost_ = true;
    sample_mask_ = UINT32_MAX;  // stop sampling; only key 0 is still looked at
    return;
  }
  if (4 * sample_.size() <= sample_.slot_count()) return;
  if (sample_.bits() < kMaxSampleTableBits && sample_.grow()) return;
  // Thin the sample: keep only the values with one more zero bit.
  sample_mask_ = sample_mask_ << 1 | 1;
  std::vector<std::uint32_t> kept;
  sample_.for_each([&](const CountedKey& entry) {
    if ((entry.key & sample_mask_) == 0) kept.push_back(entry.key);
  });
  sample_.reset(sample_.bits());
  for (const std::uint32_t key : kept) sample_lost_ = !sample_.add(key, 1) || sample_lost_;
}

std::uint64_t CompactionPolicy::estimated_distinct() const {
  // The mask is 2^k - 1 for a sample of one key value in 2^k.
  return std::uint64_t{sample_.size()} * (std::uint64_t{sample_mask_} + 1);
}

void CompactionPolicy::clear() {
  partitions_.fill(PartitionState{});
  compacted_total_ = 0;
  keys_ = 0;
  sample_.reset(kFirstSampleTableBits);
  sample_mask_ = (1U << kFirstSampleBits) - 1;
  sample_lost_ = false;
}

}  // namespace diagonal_picks
