#include "tally/counting_table.h"

#include <utility>

namespace diagonal_picks {

CountingTable::CountingTable(unsigned bits, std::uint64_t factor) : factor_(factor) { set_slots(bits); }

void CountingTable::reset(unsigned bits) {
  drain([](const CountedKey&) {});
  set_slots(bits);
}

void CountingTable::set_slots(unsigned bits) {
  slots_.resize(std::size_t{1} << bits);
  used_.resize(slots_.size());
  mask_ = slots_.size() - 1;
  size_ = 0;
  bits_ = bits;
  shift_ = 64 - bits;
}

bool CountingTable::grow() {
  CountingTable grown(bits_ + 1, factor_);
  bool moved = true;
  for_each([&](const CountedKey& entry) { moved = moved && grown.add(entry.key, entry.count); });
  if (!moved) return false;
  *this = std::move(grown);
  return true;
}

void CountingTable::release_unused() {
  slots_.shrink_to(0);
  used_.shrink_to(0);
}

std::uint64_t CountingTable::sum_and_clear() {
  std::uint64_t sum = 0;
  drain([&sum](const CountedKey& entry) { sum += std::uint64_t{entry.count} * entry.count; });
  return sum;
}

}  // namespace diagonal_picks
