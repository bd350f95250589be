#include "tally/counting_table.h"

#include <algorithm>

namespace diagonal_picks {

void CountingTable::reset(unsigned bits, unsigned skipped_bits) {
  std::fill_n(slots_.data(), slots_.size(), CountedKey{0, 0});
  slots_.resize(slot_count_for(bits));
  mask_ = slots_.size() - 1;
  size_ = 0;
  bits_ = bits;
  skipped_bits_ = skipped_bits;
}

bool CountingTable::grow() {
  spare_.resize(2 * slot_count());
  Probe probe{spare_.data(), spare_.size() - 1, 64 - (bits_ + 1), skipped_bits_,
              std::min(kMaxProbe, spare_.size() / 4)};
  bool moved = true;
  for (const CountedKey& entry : slots_.span()) {
    if (entry.count != 0) moved = moved && probe.add(entry.key, entry.count);
  }
  if (!moved) {
    std::fill_n(spare_.data(), spare_.size(), CountedKey{0, 0});
    return false;
  }
  slots_.swap(spare_);
  std::fill_n(spare_.data(), spare_.size(), CountedKey{0, 0});
  ++bits_;
  mask_ = slots_.size() - 1;
  return true;
}

std::pair<std::size_t, std::size_t> CountingTable::split_by_count(std::span<std::uint32_t> seen_once,
                                                                  std::span<CountedKey> seen_more) const {
  std::size_t once = 0;
  std::size_t more = 0;
  for (const CountedKey& entry : slots_.span()) {
    // Each entry is written to both and kept where its count belongs, so
    // a write lands at most one past the entries kept.
    seen_once[once] = entry.key;
    seen_more[more] = entry;
    once += entry.count == 1 ? 1 : 0;
    more += entry.count > 1 ? 1 : 0;
  }
  return {once, more};
}

std::uint64_t CountingTable::sum_of_squared_counts() const {
  std::uint64_t sum = 0;
  for (const CountedKey& entry : slots_.span()) sum += std::uint64_t{entry.count} * entry.count;
  return sum;
}

}  // namespace diagonal_picks
