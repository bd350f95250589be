#include "tally/partitioner.h"

#include <algorithm>
#include <bit>
#include <cstring>

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

std::uint64_t Partitioner::staged_partitions(std::size_t word) const {
  // Most words of counts are all zero in a small case: test four counts
  // at a time before looking at each.
  std::uint64_t any = 0;
  for (std::size_t i = 0; i < 64; i += 4) {
    std::uint64_t four = 0;
    std::memcpy(&four, &staged_[word * 64 + i], sizeof four);
    any |= four;
  }
  if (any == 0) return 0;
  std::uint64_t staged = 0;
  for (std::size_t bit = 0; bit < 64; ++bit) staged |= std::uint64_t{staged_[word * 64 + bit] != 0} << bit;
  return staged;
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
