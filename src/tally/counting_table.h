#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "page_array.h"

namespace diagonal_picks {

// A key and how many times it was seen.
struct CountedKey {
  std::uint32_t key;
  std::uint32_t count;  // 0 marks a free slot
};

// Counts keys in an open-addressing table with linear probing, small enough
// to stay in cache. A key's home slot is the top bits of key * factor, a
// multiply-shift hash whose odd factor comes from the process's seed, so
// regular keys (multiples of a power of two, runs) spread like random ones.
// The table also lists the slots it filled, so that visiting, summing and
// emptying it cost its keys, not its slots.
//
// Probes are bounded: a key that would need more than probe_limit() slots
// (keys chosen to collide under a known seed) is held beside the slots, in
// a list merged by key as it doubles, so such keys cost a bounded amount of
// work each and every caller counts them like any other. A key held beside
// is never in the slots: its probe meets only fuller slots from then on.
class CountingTable {
 public:
  static constexpr std::size_t kMaxProbe = 64;
  // How many keys ahead drain() asks for a slot: the slots it visits in
  // the order they came lie scattered through the table.
  static constexpr std::size_t kDrainAhead = 16;

  // 2^bits slots, 1 <= bits <= 32. From `huge_pages_bits` bits on, the
  // slots take huge pages (see PageArray): a fresh array, since a range
  // that already holds small pages keeps them. Each fresh small page costs
  // a fault, about 10 us on a virtual machine, and 2^17 slots, touched all
  // over, span 256 pages. The list of slots filled, touched in order, keeps
  // small pages.
  static constexpr unsigned kSmallPagesOnly = 64;
  CountingTable(unsigned bits, std::uint64_t factor, unsigned huge_pages_bits = kSmallPagesOnly);

  // Empties the table and gives it 2^bits slots.
  void reset(unsigned bits);

  // Adds `count` to `key`, inserting it if it is new.
  void add(std::uint32_t key, std::uint32_t count) {
    const CountedKey counted{key, count};
    add_each(std::span(&counted, 1), [](const CountedKey& entry) { return entry; });
  }

  // Adds split(item), a CountedKey, for each item in order, until the table
  // holds `max_size` keys; returns how many items were added.
  template <class Item, class Split>
  std::size_t add_each(std::span<const Item> items, Split split, std::size_t max_size = SIZE_MAX) {
    Inserter inserter{slots_.data(), used_.data(), mask_, factor_, shift_, probe_limit(), filled_};
    std::size_t added = 0;
    while (added < items.size()) {
      // With no limit, the loop below is the plain one, which keeps the
      // table's state in registers.
      const std::size_t most_filled = max_size == SIZE_MAX ? SIZE_MAX : max_size - std::min(max_size, beside_.size());
      while (added < items.size() && inserter.filled < most_filled && inserter.add(split(items[added]))) ++added;
      if (added == items.size() || inserter.filled >= most_filled) break;
      hold_beside(split(items[added++]));  // its probe ran too long
    }
    filled_ = inserter.filled;
    return added;
  }

  // Doubles the slots and moves every key to its new home; keys held beside
  // move too, if their probe is short enough there.
  void grow();

  // Empties the table and gives it 2^bits slots in small pages; gives back
  // the memory of all others.
  void release(unsigned bits);
  // Whether the table holds memory beyond what 2^bits slots need: a table
  // shrunk by reset() keeps the pages it grew.
  bool holds_memory_beyond(unsigned bits) const {
    return slots_.capacity() * sizeof(CountedKey) > page_mapping::round_to_pages(sizeof(CountedKey) << bits);
  }

  // Distinct keys; a key held beside the slots may count more than once
  // until its entries there merge.
  std::size_t size() const { return filled_ + beside_.size(); }
  // Whether some key is held beside the slots.
  bool crowded() const { return !beside_.empty(); }
  std::size_t slot_count() const { return mask_ + 1; }
  // Its users keep it at most a quarter full, and grow it past that: then
  // enough keys miss their home slot that probes cost more than a larger
  // table.
  bool past_quarter_full() const { return 4 * size() > slot_count(); }
  // The fewest bits whose slots hold `keys` keys at most a quarter full.
  static unsigned bits_for(std::size_t keys) { return static_cast<unsigned>(std::bit_width(4 * keys)); }
  unsigned bits() const { return bits_; }
  std::size_t probe_limit() const { return std::min(kMaxProbe, slot_count()); }

  // Calls visit(CountedKey) once for each key, those in the slots in the
  // order they came, and empties each slot once visited: one pass over the
  // slots, not a second one to empty them. The table ends empty, its size
  // kept; visit must not add to it.
  template <class Visit>
  void drain(Visit visit) {
    const std::span<const std::uint32_t> used = used_.span().first(filled_);
    for (std::size_t at = 0; at < used.size(); ++at) {
      if (at + kDrainAhead < used.size()) __builtin_prefetch(&slots_[used[at + kDrainAhead]], 1);
      CountedKey& entry = slots_[used[at]];
      visit(entry);
      entry = CountedKey{0, 0};
    }
    filled_ = 0;
    if (!beside_.empty()) [[unlikely]] {
      merge_beside();
      for (const CountedKey& entry : beside_) visit(entry);
      beside_.clear();
      merged_beside_ = 0;
    }
  }

  // The sum over all keys of count * count, modulo 2^64; the table is then
  // empty, its size kept. One pass over the slots, not one to sum and one
  // to empty them.
  std::uint64_t sum_and_clear();

 private:
  // Sizes an empty table.
  void set_slots(unsigned bits);
  // Holds a key whose probe ran too long beside the slots. Out of line: rare.
  void hold_beside(CountedKey counted);
  // Sorts the keys held beside and merges the entries of each.
  void merge_beside();

  // The table's state in locals for a run of additions: the compiler cannot
  // keep members in registers across the stores into the slots.
  struct Inserter {
    CountedKey* slots;
    std::uint32_t* used;
    std::size_t mask;
    std::uint64_t factor;
    unsigned shift;
    std::size_t limit;
    std::size_t filled;

    bool add(CountedKey counted) {
      auto slot = static_cast<std::size_t>((counted.key * factor) >> shift);
      // Most keys are new, or found, at their home slot: the probing loop
      // stays out of their way.
      if (count_at(slot, counted)) [[likely]] {
        return true;
      }
      for (std::size_t probe = 1; probe < limit; ++probe) {
        slot = (slot + 1) & mask;
        if (count_at(slot, counted)) return true;
      }
      return false;
    }

    bool count_at(std::size_t slot, CountedKey counted) {
      CountedKey& entry = slots[slot];
      if (entry.count != 0 && entry.key != counted.key) return false;
      // Listing a new slot is a branch: it measured faster than a store on
      // every key (D-like 1.6 against 2.1 ns per key), and no slower where
      // new and seen keys mix. A found key's count is one add to memory: a
      // store of the key beside it let the compiler pack both into one
      // 8-byte store, whose packing the next count of that slot waits for
      // (D-like 1.54 against 1.35 ns per key).
      if (entry.count == 0) {
        used[filled++] = static_cast<std::uint32_t>(slot);
        entry.key = counted.key;
      }
      entry.count += counted.count;
      return true;
    }
  };

  // Every slot not listed in used_ is zero.
  PageArray<CountedKey> slots_;
  PageArray<std::uint32_t> used_;   // the slots filled, in order
  std::vector<CountedKey> beside_;  // keys whose probe ran too long
  std::size_t merged_beside_ = 0;   // beside_'s size after its last merge
  std::vector<CountedKey> moving_;  // the keys while the table grows
  std::uint64_t factor_;
  unsigned huge_pages_bits_;
  std::size_t mask_ = 0;
  std::size_t filled_ = 0;  // slots filled
  unsigned bits_ = 0;
  unsigned shift_ = 0;
};

}  // namespace diagonal_picks
