#include "tally/counting_table.h"

namespace diagonal_picks {

CountingTable::CountingTable(unsigned bits, std::uint64_t factor, unsigned huge_pages_bits)
    : factor_(factor), huge_pages_bits_(huge_pages_bits) {
  set_slots(bits);
}

void CountingTable::reset(unsigned bits) {
  drain([](const CountedKey&) {});
  set_slots(bits);
}

void CountingTable::set_slots(unsigned bits) {
  if (bits >= huge_pages_bits_ && !slots_.prefers_huge_pages()) {
    slots_ = {};
    slots_.prefer_huge_pages(true);
  }
  slots_.resize(std::size_t{1} << bits);
  used_.resize(slots_.size());
  mask_ = slots_.size() - 1;
  size_ = 0;
  bits_ = bits;
  shift_ = 64 - bits;
}

bool CountingTable::grow() {
  // The keys move out and back in: the slots keep their pages, and only
  // the added half of them is fresh. A new table for each growth touched
  // every page anew, at up to 10 us each on a virtual machine. Draining
  // them empties the slots in the same pass.
  moving_.clear();
  drain([this](const CountedKey& entry) { moving_.push_back(entry); });
  const auto move_in = [this](unsigned bits) {
    reset(bits);
    const std::span<const CountedKey> keys(moving_);
    return add_each(keys, [](const CountedKey& entry) { return entry; }) == keys.size();
  };
  if (move_in(bits_ + 1)) return true;
  // Added in the order they first came, the keys take the slots they had.
  move_in(bits_ - 1);
  return false;
}

void CountingTable::release(unsigned bits) {
  drain([](const CountedKey&) {});
  slots_ = {};
  used_ = {};
  moving_ = {};
  set_slots(bits);
}

std::uint64_t CountingTable::sum_and_clear() {
  std::uint64_t sum = 0;
  drain([&sum](const CountedKey& entry) { sum += std::uint64_t{entry.count} * entry.count; });
  return sum;
}

}  // namespace diagonal_picks
