#include "tally/compaction_policy.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace diagonal_picks {
namespace {

constexpr unsigned kFirstSampleBits = 8;
constexpr unsigned kFirstSampleTableBits = 6;
// The sample holds 8,192 to 16,384 values once thinned (a table of 512
// KiB, a quarter full): the estimate's standard error is then at most 1.1 %
// of the distinct keys. With 2,048 to 4,096 values, 20 million keys of
// which the second 10 million repeat the first passed their memory bound
// (6 bytes per distinct key + 8 MiB) in 2 runs of 22.
constexpr unsigned kMaxSampleTableBits = 16;

// The budget: words the partitions may hold per estimated distinct key (as
// a fraction: 6 bytes), and beyond that half a word per distinct key, but
// at least 1 MiB and at most 2 MiB: the chunks' last huge page, partly
// used, may hold up to 2 MiB more (with up to 3 MiB, A11 peaked at 40.4
// MiB, past its 37.5). The more they may hold, the fewer times
// the compacted words are read again: 3/2 took x2^11 from 11.4 to 10.0 ns
// per key against 11/8, and up to 3 MiB instead of 2 took one-partition
// from 15.5 to 14.4 and x2^11 from 10.7 to 9.9. Few distinct keys seen
// many times (A16: 65,536, about 300 times each) gain nothing from more,
// and with 3 MiB their words outgrew the second-level cache: 0.119
// against 0.112 s.
constexpr std::uint64_t kWordsPerDistinctNumerator = 3;
constexpr std::uint64_t kWordsPerDistinctDenominator = 2;
constexpr std::uint64_t kLeastFreeWords = std::uint64_t{1} << 18;
constexpr std::uint64_t kMostFreeWords = std::uint64_t{1} << 19;
// A partition is compacted only when it took in this share of its
// compacted words, and at least kMinCompactionWords, so that it is never
// read again for a handful.
constexpr std::size_t kHeldShare = 8;
constexpr std::size_t kMinCompactionWords = 256;

}  // namespace

CompactionPolicy::CompactionPolicy(std::uint64_t slot_factor)
    : sample_(kFirstSampleTableBits, slot_factor), sample_mask_((1U << kFirstSampleBits) - 1) {}

bool CompactionPolicy::should_compact(std::size_t partition, std::size_t words, std::size_t total_words) const {
  const std::size_t held = compacted_words_[partition];
  const std::size_t taken_in = words - std::min(words, held);
  // Without an estimate to trust (keys chosen to collide under a known seed
  // crowd the sample's table, whose size is then only a bound), compact
  // each time a partition doubles.
  if (sample_.crowded()) return taken_in >= std::max(kMinCompactionWords, held);
  if (total_words <= budget_words()) return false;
  // Past the budget, compact the partition that grows once it took in its
  // share of all the words taken in since the partitions' last compactions,
  // or an eighth of what it holds if that is more: the partitions that took
  // in most go first, and each compaction reads a partition for many new
  // words, not a handful.
  const std::size_t backlog = total_words - std::min(total_words, compacted_total_);
  return taken_in >= std::max({kMinCompactionWords, held / kHeldShare, backlog / Partitions::kPartitions});
}

void CompactionPolicy::compacted(std::size_t partition, std::size_t words) {
  compacted_total_ += words;
  compacted_total_ -= compacted_words_[partition];
  compacted_words_[partition] = words;
}

void CompactionPolicy::sample(std::uint32_t mixed) {
  sample_.add(mixed, 1);
  if (!sample_.past_quarter_full()) return;
  if (sample_.bits() < kMaxSampleTableBits) {
    sample_.grow();
    return;
  }
  // Thin the sample: keep only the values with one more zero bit.
  sample_mask_ = sample_mask_ << 1 | 1;
  std::vector<std::uint32_t> kept;
  sample_.drain([&](const CountedKey& entry) {
    if ((entry.key & sample_mask_) == 0) kept.push_back(entry.key);
  });
  for (const std::uint32_t key : kept) sample_.add(key, 1);
}

std::uint64_t CompactionPolicy::budget_words() const {
  // The least the distinct keys likely are: the estimate less two of its
  // standard errors, about the square root of the values sampled. An
  // estimate too high would let memory pass its bound.
  const std::uint64_t sampled = sample_.size();
  const auto error = static_cast<std::uint64_t>(2 * std::sqrt(static_cast<double>(sampled)));
  const std::uint64_t distinct = (sampled - std::min(sampled, error)) * (std::uint64_t{sample_mask_} + 1);
  return distinct * kWordsPerDistinctNumerator / kWordsPerDistinctDenominator +
         std::clamp(distinct / 2, kLeastFreeWords, kMostFreeWords);
}

std::uint64_t CompactionPolicy::estimated_distinct() const {
  // The mask is 2^k - 1 for a sample of one key value in 2^k.
  return std::uint64_t{sample_.size()} * (std::uint64_t{sample_mask_} + 1);
}

void CompactionPolicy::clear() {
  compacted_words_.fill(0);
  compacted_total_ = 0;
  sample_.reset(kFirstSampleTableBits);
  sample_mask_ = (1U << kFirstSampleBits) - 1;
}

}  // namespace diagonal_picks
