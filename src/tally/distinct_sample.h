#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "tally/counting_table.h"
#include "tally/page_array.h"

namespace diagonal_picks {

// Estimates how many distinct keys a tally holds from a sample of the key
// values: those whose mixed value ends in `sample_bits` zero bits, about
// one value in 2^sample_bits, counted exactly. Since the sample is chosen by
// value, every copy of a sampled key is in it. When the sample outgrows its
// table, it keeps only the values with one more zero bit.
//
// It lets the tally skip compactions that would find nothing to merge.
class DistinctSample {
 public:
  bool sampled(std::uint32_t mixed) const { return (mixed & sample_mask_) == 0; }

  // Counts a key that sampled() accepts.
  void add(std::uint32_t mixed, std::uint32_t count) {
    if (!table_.add(mixed, count)) {
      stop_sampling();
    } else if (table_.full()) {
      make_room();
    }
  }

  // True when `keys` keys, by the estimate, hold at least four fifths as
  // many distinct ones. False once keys chosen to collide flooded the table.
  bool mostly_distinct(std::uint64_t keys) const {
    return !flooded_ && 5 * (std::uint64_t{table_.size()} << std::popcount(sample_mask_)) >= 4 * keys;
  }

  void clear();

 private:
  static constexpr unsigned kFirstSampleBits = 10;
  static constexpr unsigned kFirstTableBits = 4;
  static constexpr unsigned kMaxTableBits = 14;

  // Grows the table, or halves the sample once the table is at its largest.
  void make_room();
  // Keys chosen to collide flooded the table: the estimate is lost.
  void stop_sampling() {
    flooded_ = true;
    sample_mask_ = UINT32_MAX;
  }

  CountingTable table_{kFirstTableBits};
  PageArray<CountedKey> kept_;
  std::uint32_t sample_mask_ = (1U << kFirstSampleBits) - 1;
  bool flooded_ = false;
};

}  // namespace diagonal_picks
