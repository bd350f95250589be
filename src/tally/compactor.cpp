#include "tally/compactor.h"

#include <algorithm>
#include <array>
#include <bit>
#include <span>
#include <utility>

namespace diagonal_picks {
namespace {

// A partition with more keys than this would need a table larger than the
// second-level cache; it is sorted instead, as are the smallest partitions.
constexpr std::size_t kMaxTableKeys = std::size_t{1} << 15;

// Keys that the partitions in use may buffer beyond half their size, shared.
constexpr std::size_t kSharedBacklog = std::size_t{1} << 18;

// Memory the sorting buffers keep across cases.
constexpr std::size_t kKeptSortKeys = std::size_t{1} << 16;

// Table bits for `keys` keys, at most half full.
unsigned table_bits_for(std::size_t keys) { return std::max(1U, static_cast<unsigned>(std::bit_width(2 * keys - 1))); }

// The keys of one partition share their top bits, so sorting orders them by
// the bits below: three passes of eight bits cover them.
constexpr unsigned kDigitBits = 8;
constexpr unsigned kSortedBits = 32 - Partitioner::kPartitionBits;
constexpr unsigned kPasses = (kSortedBits + kDigitBits - 1) / kDigitBits;
constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
// Up to this many keys a comparison sort is quicker than the radix sort's
// passes, and about as quick as a table.
constexpr std::size_t kSmallSort = 64;

std::size_t digit(std::uint32_t key, unsigned pass) { return (key >> (pass * kDigitBits)) & (kDigits - 1); }

}  // namespace

bool Compactor::count(const Partitioner& partitions, std::size_t partition) {
  const std::size_t keys = partitions.key_count(partition) + partitions.counted_count(partition);
  if (keys > kSmallSort && keys <= kMaxTableKeys) {
    table_.reset(table_bits_for(keys), Partitioner::kPartitionBits);
    bool fits = true;
    partitions.for_each_key_run(partition,
                                [&](std::span<const std::uint32_t> run) { fits = fits && table_.add_all(run); });
    partitions.for_each_counted_run(partition,
                                    [&](std::span<const CountedKey> run) { fits = fits && table_.add_all(run); });
    if (fits) return true;
  }
  sorted_.clear();
  sorted_.reserve(keys);
  partitions.for_each_key_run(partition, [&](std::span<const std::uint32_t> run) {
    for (const std::uint32_t key : run) sorted_.push_back({key, 1});
  });
  partitions.for_each_counted_run(partition, [&](std::span<const CountedKey> run) {
    for (const CountedKey& counted : run) sorted_.push_back(counted);
  });
  sort_and_merge();
  return false;
}

// Sorts `sorted_` by key, then merges equal keys into one, adding their
// counts.
void Compactor::sort_and_merge() {
  if (sorted_.size() <= kSmallSort) {
    std::sort(sorted_.data(), sorted_.data() + sorted_.size(),
              [](CountedKey a, CountedKey b) { return a.key < b.key; });
  } else {
    radix_sort();
  }
  std::size_t distinct = 0;
  for (const CountedKey& counted : sorted_.span()) {
    if (distinct > 0 && sorted_[distinct - 1].key == counted.key) {
      sorted_[distinct - 1].count += counted.count;
    } else {
      sorted_[distinct++] = counted;
    }
  }
  sorted_.resize(distinct);
}

// Least significant digit first, skipping digits that every key shares.
void Compactor::radix_sort() {
  const std::size_t size = sorted_.size();
  std::array<std::array<std::size_t, kDigits>, kPasses> histograms{};
  for (const CountedKey& counted : sorted_.span()) {
    for (unsigned pass = 0; pass < kPasses; ++pass) ++histograms[pass][digit(counted.key, pass)];
  }
  scratch_.resize(size);
  for (unsigned pass = 0; pass < kPasses; ++pass) {
    auto& offsets = histograms[pass];
    if (std::ranges::find(offsets, size) != offsets.end()) continue;
    std::size_t offset = 0;
    for (std::size_t& bucket : offsets) offset += std::exchange(bucket, offset);
    for (const CountedKey& counted : sorted_.span()) scratch_[offsets[digit(counted.key, pass)]++] = counted;
    sorted_.swap(scratch_);
  }
}

void Compactor::compact(Partitioner& partitions, std::size_t partition) {
  const std::size_t entries_before = partitions.key_count(partition) + partitions.counted_count(partition);
  const bool in_table = count(partitions, partition);
  const std::size_t distinct = in_table ? table_.size() : sorted_.size();
  seen_once_.resize(distinct + 1);
  seen_more_.resize(distinct + 1);
  const auto [once, more] =
      in_table ? table_.split_by_count(seen_once_.span(), seen_more_.span()) : split_sorted_by_count();
  partitions.empty(partition);
  partitions.append_keys(partition, seen_once_.span().first(once));
  partitions.append_counted(partition, seen_more_.span().first(more));
  // Buffer about half as many keys as the partition holds now, so a
  // compaction costs at most about three times the keys it takes in, and
  // memory stays near the distinct keys. Where compacting merged almost
  // nothing, the buffered keys are distinct ones, which cost no more
  // buffered than compacted: buffer four times as many before trying again,
  // so that compacting distinct keys costs a third more work at most.
  // A few busy partitions (keys that crowd one partition) may share a fixed
  // allowance of buffered keys and buffer up to twice as many, which keeps
  // memory bounded while compacting them far less often.
  const std::size_t words_after = once + 2 * more;
  const bool merged_little = (once + more) * 20 >= entries_before * 19;
  const std::size_t share = kSharedBacklog / partitions.partitions_in_use();
  const std::size_t backlog =
      merged_little ? 4 * words_after : std::max(words_after / 2, std::min(2 * words_after, share));
  partitions.set_due(partition, once + std::max(kFirstDue / 2, backlog));
}

std::pair<std::size_t, std::size_t> Compactor::split_sorted_by_count() {
  std::size_t once = 0;
  std::size_t more = 0;
  for (const CountedKey& counted : sorted_.span()) {
    if (counted.count == 1) {
      seen_once_[once++] = counted.key;
    } else {
      seen_more_[more++] = counted;
    }
  }
  return {once, more};
}

std::uint64_t Compactor::sum_of_squared_counts(const Partitioner& partitions, std::size_t partition) {
  if (count(partitions, partition)) return table_.sum_of_squared_counts();
  std::uint64_t sum = 0;
  for (const CountedKey& counted : sorted_.span()) sum += std::uint64_t{counted.count} * counted.count;
  return sum;
}

void Compactor::release_memory() {
  for (auto* buffer : {&sorted_, &scratch_, &seen_more_}) {
    buffer->clear();
    buffer->shrink_to(kKeptSortKeys);
  }
  seen_once_.clear();
  seen_once_.shrink_to(kKeptSortKeys);
}

}  // namespace diagonal_picks
