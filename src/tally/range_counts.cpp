#include "tally/range_counts.h"

#include <algorithm>

namespace diagonal_picks {

bool RangeCounts::dense_enough(std::int32_t low, std::int32_t high, std::uint64_t keys) {
  const auto span = static_cast<std::uint64_t>(std::int64_t{high} - low + 1);
  return fits_window(low, high) && span <= kSpanPerKey * keys;
}

bool RangeCounts::start(std::int32_t low, std::int32_t high, std::uint64_t keys) {
  if (!dense_enough(low, high, keys)) return false;
  counts_.resize(kWindow);
  // Centred on the first keys, so that later ones may fall on either side.
  const std::int64_t slack = kWindow - (std::int64_t{high} - low + 1);
  base_ = std::clamp<std::int64_t>(std::int64_t{low} - slack / 2, INT32_MIN, std::int64_t{INT32_MAX} - kWindow + 1);
  low_ = low;
  high_ = high;
  keys_ = keys;
  return true;
}

bool RangeCounts::add(std::span<const std::int32_t> keys, KeyRange range) {
  if (keys.empty()) return true;
  std::int32_t low = range.low;
  std::int32_t high = range.high;
  if (empty()) {
    if (!start(low, high, keys.size())) return false;
  } else {
    low = std::min(low, low_);
    high = std::max(high, high_);
    if (low < base_ || high - base_ >= kWindow || !dense_enough(low, high, keys_ + keys.size())) return false;
    low_ = low;
    high_ = high;
    keys_ += keys.size();
  }
  std::uint32_t* const counts = counts_.data();
  for (const std::int32_t key : keys) ++counts[offset(key)];
  return true;
}

std::uint64_t RangeCounts::sum_and_clear() {
  std::uint64_t sum = 0;
  for (std::uint32_t& count : spanned()) {
    sum += std::uint64_t{count} * count;
    count = 0;
  }
  keys_ = 0;
  return sum;
}

}  // namespace diagonal_picks
