#include "tally/counting_table.h"

#include <algorithm>

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
  spare_slots_.resize(2 * slot_count());
  spare_used_.resize(2 * slot_count());
  Inserter grown{spare_slots_.data(),
                 spare_used_.data(),
                 2 * slot_count() - 1,
                 factor_,
                 shift_ - 1,
                 std::min(kMaxProbe, 2 * slot_count()),
                 0};
  bool moved = true;
  for_each([&](const CountedKey& entry) { moved = moved && grown.add(entry); });
  if (!moved) {
    for (const std::uint32_t slot : spare_used_.span().first(grown.size)) spare_slots_[slot] = CountedKey{0, 0};
    return false;
  }
  for (const std::uint32_t slot : used_.span().first(size_)) slots_[slot] = CountedKey{0, 0};
  slots_.swap(spare_slots_);
  used_.swap(spare_used_);
  mask_ = grown.mask;
  ++bits_;
  --shift_;
  return true;
}

void CountingTable::release_unused() {
  slots_.shrink_to(0);
  used_.shrink_to(0);
  spare_slots_.clear();
  spare_slots_.shrink_to(0);
  spare_used_.clear();
  spare_used_.shrink_to(0);
}

std::uint64_t CountingTable::sum_and_clear() {
  std::uint64_t sum = 0;
  drain([&sum](const CountedKey& entry) { sum += std::uint64_t{entry.count} * entry.count; });
  return sum;
}

}  // namespace diagonal_picks
