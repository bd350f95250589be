#include "tally/diagonal_tally.h"

#include <algorithm>
#include <array>
#include <utility>

namespace diagonal_picks {

void DiagonalTally::add(std::span<const std::int32_t> keys) {
  // Mixing a batch first, in a loop of its own, keeps the mix's latency out
  // of the table's probes.
  constexpr std::size_t kBatch = 256;
  std::array<std::uint32_t, kBatch> mixed;
  while (!keys.empty()) {
    const std::size_t taken = std::min(kBatch, keys.size());
    for (std::size_t i = 0; i < taken; ++i) mixed[i] = key_hash::mix(static_cast<std::uint32_t>(keys[i]), seed_);
    add_mixed({mixed.data(), taken});
    keys = keys.subspan(taken);
  }
}

void DiagonalTally::add_mixed(std::span<const std::uint32_t> mixed) {
  while (!partitioned_ && !mixed.empty()) {
    mixed = mixed.subspan(table_.add_while_room(mixed));
    if (table_.full()) {
      grow_table();
    } else if (!mixed.empty()) {  // the table refused a key
      move_to_partitions();
    }
  }
  partitioned_keys_ += mixed.size();
  for (const std::uint32_t key : mixed) {
    if (sample_.sampled(key)) sample_.add(key, 1);
    if (partitions_.add(key)) compact_or_defer(partitions_.due_partition());
  }
}

void DiagonalTally::compact_or_defer(std::size_t partition) {
  // While the keys are almost all distinct, compacting would merge next to
  // nothing, and buffering them costs no more memory than their distinct
  // keys would: let the partition grow to twice its size first.
  if (sample_.mostly_distinct(partitioned_keys_)) {
    partitions_.set_due(partition, 2 * partitions_.key_count(partition));
  } else {
    compactor_.compact(partitions_, partition);
  }
}

void DiagonalTally::grow_table() {
  if (table_.bits() == kMaxTableBits || !table_.grow()) move_to_partitions();
}

void DiagonalTally::move_to_partitions() {
  partitioned_ = true;
  table_.for_each([this](const CountedKey& counted) {
    partitioned_keys_ += counted.count;
    if (sample_.sampled(counted.key)) sample_.add(counted.key, counted.count);
    const std::size_t partition = Partitioner::partition_of(counted.key);
    if (counted.count == 1) {
      partitions_.append_keys(partition, {&counted.key, 1});
    } else {
      partitions_.append_counted(partition, {&counted, 1});
    }
  });
  // A large case follows: the memory of the grown table is better spent there.
  table_.reset(kFirstTableBits);
  table_.release_unused();
}

std::uint64_t DiagonalTally::sum_of_squared_counts() const {
  if (!partitioned_) return table_.sum_of_squared_counts();
  std::uint64_t sum = 0;
  partitions_.for_each_partition_in_use(
      [&](std::size_t partition) { sum += compactor_.sum_of_squared_counts(partitions_, partition); });
  return sum;
}

void DiagonalTally::clear() {
  table_.reset(kFirstTableBits);
  if (partitioned_) {
    partitions_.clear();
    compactor_.release_memory();
    sample_.clear();
    partitioned_keys_ = 0;
    partitioned_ = false;
  }
}

double pick_ratio(std::int64_t N, const DiagonalTally& NEdiags, const DiagonalTally& SEdiags) {
  return ratio_of_sums(N, NEdiags.sum_of_squared_counts(), SEdiags.sum_of_squared_counts());
}

double ratio_of_sums(std::int64_t N, std::uint64_t NEdiags_sum, std::uint64_t SEdiags_sum) {
  // Unsigned arithmetic wraps where signed would overflow; converting back
  // to signed is modular, so wherever nothing overflows the values are
  // exactly the signed ones.
  const auto n = static_cast<std::uint64_t>(N);
  const auto resultativePicks = static_cast<std::int64_t>(NEdiags_sum + SEdiags_sum - (n + n));
  const auto celkem = static_cast<std::int64_t>(n * n);
  const double result = static_cast<double>(resultativePicks) / static_cast<double>(celkem);
  return result;
}

}  // namespace diagonal_picks
