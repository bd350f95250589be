#include "tally/partitioner.h"

#include <algorithm>
#include <bit>

namespace diagonal_picks {
namespace {

// Memory each pool keeps across cases.
constexpr std::size_t kKeptPoolBytes = std::size_t{4} << 20;

}  // namespace

Partitioner::Partitioner(std::size_t first_due) : first_due_(first_due) {
  staging_.resize(kPartitions * kLineKeys);
  partitions_.resize(kPartitions);
  std::fill_n(partitions_.data(), kPartitions, empty_partition());
}

bool Partitioner::flush(std::size_t partition) {
  staged_[partition] = 0;
  list(partition);
  Partition& target = partitions_[partition];
  keys_.append(target.keys, std::span<const std::uint32_t, kLineKeys>(&staging_[partition * kLineKeys], kLineKeys));
  due_partition_ = partition;
  return target.keys.size >= target.due;
}

void Partitioner::empty(std::size_t partition) {
  staged_[partition] = 0;
  keys_.release(partitions_[partition].keys);
  counted_.release(partitions_[partition].counted);
}

void Partitioner::clear() {
  for (std::size_t word = 0; word < listed_.size(); ++word) {
    for (std::uint64_t listed = listed_[word]; listed != 0; listed &= listed - 1) {
      partitions_[word * 64 + static_cast<std::size_t>(std::countr_zero(listed))] = empty_partition();
    }
  }
  listed_.fill(0);
  staged_.fill(0);
  keys_.clear(kKeptPoolBytes);
  counted_.clear(kKeptPoolBytes);
}

}  // namespace diagonal_picks
