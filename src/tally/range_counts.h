#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tally/batch_kernel.h"
#include "tally/page_array.h"

namespace diagonal_picks {

// Counts keys that lie close together in a plain array of counts indexed by
// the key: no hashing, no probing. It takes keys while all of a case's keys
// lie in one window of kWindow values and the range they span is dense
// enough: at most kSpanPerKey values per key counted. Summing and clearing
// cost the range spanned, so that bound keeps them within a pass over a few
// cache lines per key, whatever keys are chosen.
//
// The array is mapped once; pages of it that a case touched are zeroed and
// kept for the next case.
class RangeCounts {
 public:
  static constexpr std::uint32_t kWindow = std::uint32_t{1} << 20;
  static constexpr std::uint64_t kSpanPerKey = 64;

  // Whether keys spanning [low, high] fit in the window: if not, no more
  // keys can make them count here.
  static bool fits_window(std::int32_t low, std::int32_t high) {
    return std::int64_t{high} - low < std::int64_t{kWindow};
  }
  // Whether keys spanning [low, high], with `keys` keys counted in all,
  // are close enough together to count here.
  static bool dense_enough(std::int32_t low, std::int32_t high, std::uint64_t keys);

  bool empty() const { return keys_ == 0; }

  // Counts the keys, which lie in `range`, if with them the case's keys
  // stay dense enough and in the window, which the first keys place;
  // otherwise counts none and returns false.
  bool add(std::span<const std::int32_t> keys, KeyRange range);

  // Adds `count` to `key`, which must lie in [low, high] of a range that
  // was accepted by start() or add().
  void add(std::int32_t key, std::uint32_t count) { counts_[offset(key)] += count; }

  // Places the window around [low, high], before adding counted keys in it.
  // Returns false when those keys are not dense_enough().
  bool start(std::int32_t low, std::int32_t high, std::uint64_t keys);

  // Calls visit(key, count) for each key counted, in order, and leaves the
  // array empty.
  template <class Visit>
  void drain(Visit visit) {
    for (std::uint32_t& count : spanned()) {
      if (count != 0) visit(static_cast<std::int32_t>(base_ + (&count - counts_.data())), count);
      count = 0;
    }
    keys_ = 0;
  }

  // The sum over all keys of count * count, modulo 2^64; the array is then
  // empty. One pass reads and zeroes the counts: summing, then zeroing,
  // would read the range spanned twice.
  std::uint64_t sum_and_clear();

 private:
  std::size_t offset(std::int32_t key) const { return static_cast<std::size_t>(std::int64_t{key} - base_); }
  // The counts of the range spanned; none while empty.
  std::span<std::uint32_t> spanned() {
    if (empty()) return {};
    return counts_.span().subspan(offset(low_), offset(high_) - offset(low_) + 1);
  }

  PageArray<std::uint32_t> counts_;  // kWindow counts, once a case used them
  std::int64_t base_ = 0;            // the key counted at counts_[0]
  std::int32_t low_ = 0;             // the range spanned, while keys_ > 0
  std::int32_t high_ = 0;
  std::uint64_t keys_ = 0;
};

}  // namespace diagonal_picks
