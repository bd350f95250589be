#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "tally/page_array.h"

namespace diagonal_picks {

// A mixed key and how many times it was seen.
struct CountedKey {
  std::uint32_t key;
  std::uint32_t count;
};

// Counts mixed keys in an open-addressing table with linear probing, small
// enough to stay in cache. A key's home slot is taken from the bits of the
// mixed key below its top `skipped_bits`, which in a partition are the same
// for every key.
//
// Probes are bounded: a key that would need more than kMaxProbe of them is
// refused, so keys chosen to collide cost a bounded amount of work each and
// the caller counts them another way.
class CountingTable {
 public:
  // A probe may visit this many slots, or a quarter of a small table.
  static constexpr std::size_t kMaxProbe = 32;
  std::size_t probe_limit() const { return std::min(kMaxProbe, slot_count() / 4); }

  explicit CountingTable(unsigned bits = 1) { reset(bits); }

  // Empties the table and gives it 2^bits slots, 1 <= bits <= 32, taking
  // home slots from the bits below the top `skipped_bits` < 32.
  void reset(unsigned bits, unsigned skipped_bits = 0);

  // Adds `count` to `key`, inserting it if it is new. False, with the table
  // unchanged, when the probe for it runs too long.
  bool add(std::uint32_t key, std::uint32_t count) {
    Probe probe = start_probe();
    const bool added = probe.add(key, count);
    size_ += probe.inserted;
    return added;
  }

  // Adds each key once; false when a probe ran too long, leaving the table
  // with only some of the keys counted.
  bool add_all(std::span<const std::uint32_t> keys) {
    Probe probe = start_probe();
    bool added = true;
    for (const std::uint32_t key : keys) added &= probe.add(key, 1);
    size_ += probe.inserted;
    return added;
  }
  // Adds keys once each, in order, until one is refused or the table is
  // full(); returns how many were added.
  std::size_t add_while_room(std::span<const std::uint32_t> keys) {
    Probe probe = start_probe();
    const std::size_t room = slot_count() / kFullAtOneIn - size_;  // the table is never full here
    std::size_t added = 0;
    while (added < keys.size() && probe.inserted <= room && probe.add(keys[added], 1)) ++added;
    size_ += probe.inserted;
    return added;
  }
  bool add_all(std::span<const CountedKey> counted_keys) {
    Probe probe = start_probe();
    bool added = true;
    for (const CountedKey& counted : counted_keys) added &= probe.add(counted.key, counted.count);
    size_ += probe.inserted;
    return added;
  }

  // Gives back the memory of slots beyond the table's current size.
  void release_unused() {
    slots_.shrink_to(0);
    spare_.clear();
    spare_.shrink_to(0);
  }

  // Doubles the slots and moves every key to its new home. False, with the
  // table unchanged, when a key's probe runs too long there.
  bool grow();

  // The number of distinct keys, and of slots.
  std::size_t size() const { return size_; }
  std::size_t slot_count() const { return mask_ + 1; }
  unsigned bits() const { return bits_; }
  // Past a quarter full, enough keys miss their home slot that the
  // mispredicted branches cost more than a larger table: time to grow.
  static constexpr std::size_t kFullAtOneIn = 4;
  bool full() const { return size_ > slot_count() / kFullAtOneIn; }

  template <class Visit>
  void for_each(Visit visit) const {
    for (std::size_t slot = 0; slot <= mask_; ++slot) {
      if (slots_[slot].count != 0) visit(slots_[slot]);
    }
  }

  // Copies the keys seen once to `seen_once` and the others, with their
  // counts, to `seen_more`, each at least size() + 1 long; returns how many
  // went to each. Free slots are skipped without a branch, which would be
  // mispredicted at every other slot.
  std::pair<std::size_t, std::size_t> split_by_count(std::span<std::uint32_t> seen_once,
                                                     std::span<CountedKey> seen_more) const;

  // The sum over all keys of count * count, modulo 2^64.
  std::uint64_t sum_of_squared_counts() const;

 private:
  static std::size_t slot_count_for(unsigned bits) { return std::size_t{1} << bits; }

  // The table's state in locals for a run of additions: the compiler
  // cannot keep members in registers across stores into the slots.
  struct Probe {
    CountedKey* slots;
    std::size_t mask;
    unsigned shift;
    unsigned skipped_bits;
    std::size_t limit;
    std::size_t inserted = 0;

    bool add(std::uint32_t key, std::uint32_t count) {
      // Most keys are found, or are new, at their home slot; only the rest
      // take the probing loop.
      const std::size_t home = home_slot(key);
      return count_in(slots[home], key, count) || add_beyond(home, key, count);
    }

    std::size_t home_slot(std::uint32_t key) const {
      // Shifting in 64 bits keeps every shift below the width; when fewer
      // key bits remain than the table has, the missing low bits are zero.
      return static_cast<std::size_t>((std::uint64_t{key} << (32 + skipped_bits)) >> shift);
    }

    // Counts the key in `entry` if that slot is free or holds it.
    bool count_in(CountedKey& entry, std::uint32_t key, std::uint32_t count) {
      if (entry.count == 0) {
        entry = {key, count};
        ++inserted;
        return true;
      }
      if (entry.key == key) {
        entry.count += count;
        return true;
      }
      return false;
    }

    bool add_beyond(std::size_t home, std::uint32_t key, std::uint32_t count) {
      std::size_t slot = home;
      for (std::size_t probe = 1; probe < limit; ++probe) {
        slot = (slot + 1) & mask;
        if (count_in(slots[slot], key, count)) return true;
      }
      return false;
    }
  };
  Probe start_probe() { return {slots_.data(), mask_, 64 - bits_, skipped_bits_, probe_limit()}; }

  // Every slot beyond the first 2^bits_ is zero, so a reset only needs to
  // clear the slots in use.
  PageArray<CountedKey> slots_;
  PageArray<CountedKey> spare_;  // all zero; the next size's slots while growing
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
  unsigned bits_ = 0;
  unsigned skipped_bits_ = 0;
};

}  // namespace diagonal_picks
