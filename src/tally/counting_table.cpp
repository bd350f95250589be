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
  filled_ = 0;
  bits_ = bits;
  shift_ = 64 - bits;
}

void CountingTable::grow() {
  // The keys move out and back in: the slots keep their pages, and only
  // the added half of them is fresh. A new table for each growth touched
  // every page anew, at up to 10 us each on a virtual machine. Draining
  // them empties the slots in the same pass.
  moving_.clear();
  drain([this](const CountedKey& entry) { moving_.push_back(entry); });
  reset(bits_ + 1);
  add_each(std::span<const CountedKey>(moving_), [](const CountedKey& entry) { return entry; });
}

void CountingTable::hold_beside(CountedKey counted) {
  beside_.push_back(counted);
  // Merged as it doubles, so that it holds about one entry per key.
  if (beside_.size() >= 2 * merged_beside_ + 64) merge_beside();
}

void CountingTable::merge_beside() {
  std::ranges::sort(beside_, {}, &CountedKey::key);
  std::size_t kept = 0;
  for (const CountedKey& entry : beside_) {
    if (kept != 0 && beside_[kept - 1].key == entry.key) {
      beside_[kept - 1].count += entry.count;
    } else {
      beside_[kept++] = entry;
    }
  }
  beside_.resize(kept);
  merged_beside_ = kept;
}

void CountingTable::release(unsigned bits) {
  drain([](const CountedKey&) {});
  slots_ = {};
  used_ = {};
  beside_ = {};
  moving_ = {};
  set_slots(bits);
}

std::uint64_t CountingTable::sum_and_clear() {
  std::uint64_t sum = 0;
  drain([&sum](const CountedKey& entry) { sum += std::uint64_t{entry.count} * entry.count; });
  return sum;
}

}  // namespace diagonal_picks
