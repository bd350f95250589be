#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "page_array.h"
#include "tally/batch_kernel.h"
#include "tally/counting_table.h"

namespace diagonal_picks {

// Counts keys that lie close together in a plain array of counts indexed by
// the key: no hashing, no probing. Keys whose differences are all
// multiples of 2^k (coordinates on a coarser grid) count as close as their
// steps allow: the array's slots are then 2^k keys apart, its stride. It
// takes keys while all of a case's keys lie in one window of kWindow
// slots and the slots they span are dense enough: at most kSpanPerKey
// slots per key counted. Summing and clearing cost the slots spanned, so
// that bound keeps them within a pass over a few cache lines per key,
// whatever keys are chosen.
//
// A count is one byte, so that 4 MiB span the keys of coordinates within
// about ±10^6. A count that passes 255 carries its 256s to a table of its
// own, keyed by the key: at most one key in 256 carries, and far fewer keys
// than that are ever seen 256 times.
//
// The array is mapped once; pages of it that a case touched are zeroed and
// kept for the next case. Where a case's keys span kHugePagesSpan slots or
// more, the pages it touches from then on are huge ones (see PageArray):
// each fresh small page costs a fault, about 10 us on a virtual machine,
// and such a span touches hundreds. Smaller spans keep small pages, so that
// a case of a few close keys costs a page, not 2 MiB.
class RangeCounts {
 public:
  static constexpr std::uint64_t kWindow = std::uint64_t{1} << 22;
  static constexpr std::uint64_t kSpanPerKey = 128;
  // The first keys of a case span at most kStartSpanPerKey values each:
  // so few keys, sparser, cost less in the table than a pass over their
  // span (250,000 cases of 40 keys spread over 4,000 values: 0.74 s in
  // the table against 0.94 here).
  static constexpr std::uint64_t kStartSpanPerKey = 32;
  // The most keys that carry: a batch that could take their number past
  // it is refused, so that their table stays within 1.5 MiB. Only cases
  // of millions of points on tens of thousands of keys in the window
  // reach it.
  static constexpr std::size_t kMostCarried = std::size_t{1} << 15;
  static constexpr std::uint64_t kHugePagesSpan = std::uint64_t{1} << 21;

  // `slot_factor` seeds the carries' table (see CountingTable).
  explicit RangeCounts(std::uint64_t slot_factor);

  // Whether keys spanning `range` fit in the window: if not, no more keys
  // can make them count here.
  static bool fits_window(const KeyRange& range) { return slots_spanned(range, stride_bits(range)) <= kWindow; }
  // Whether keys spanning `range`, with `keys` keys counted in all, are
  // close enough together to count here, in slots `stride` bits apart.
  static bool dense_enough(const KeyRange& range, unsigned stride, std::uint64_t keys);
  static bool dense_enough(const KeyRange& range, std::uint64_t keys) {
    return dense_enough(range, stride_bits(range), keys);
  }

  bool empty() const { return keys_ == 0; }

  // Counts the keys, which lie in `range`, if with them the case's keys
  // stay dense enough and in the window, which the first keys place (if
  // they span at most kStartSpanPerKey slots each), and no more than
  // kMostCarried keys may then have carried; otherwise counts none and
  // returns false. Keys that break the stride so far make it finer, and
  // the counts move to their new slots, if the keys still fit.
  bool add(std::span<const std::int32_t> keys, const KeyRange& range);

  // Adds `count` to `key`, which must lie in a range that start() or add()
  // accepted.
  void add(std::int32_t key, std::uint32_t count) {
    std::uint8_t& low_byte = counts_[offset(key)];
    const std::uint32_t total = low_byte + count;  // modulo 2^32, as every count
    low_byte = static_cast<std::uint8_t>(total);
    if (total > UINT8_MAX) carry(key, total >> 8);
  }

  // Places the window around `range`, before adding counted keys in it.
  // Returns false when those keys are not dense_enough().
  bool start(const KeyRange& range, std::uint64_t keys);

  // Calls visit(key, count) once for each key counted, count > 0, and
  // leaves the array empty.
  template <class Visit>
  void drain(Visit visit) {
    drain_carried([&](std::int32_t key, std::uint32_t count) {
      if (count != 0) visit(key, count);
    });
    for (std::uint8_t& count : spanned()) {
      if (count != 0) visit(key_at(count), count);
      count = 0;
    }
    keys_ = 0;
  }

  // The sum over all keys of count * count, modulo 2^64; the array is then
  // empty. One pass reads and zeroes the counts: summing, then zeroing,
  // would read the range spanned twice.
  std::uint64_t sum_and_clear();

 private:
  // How many slots keys spanning `range` take, `stride` bits apart.
  static std::uint64_t slots_spanned(const KeyRange& range, unsigned stride) {
    return static_cast<std::uint64_t>((std::int64_t{range.high} - range.low) >> stride) + 1;
  }
  // The base that centres the window on `range`, with slots `stride` bits
  // apart, within the 32-bit keys.
  static std::int64_t centred_base(const KeyRange& range, unsigned stride);
  std::size_t offset(std::int32_t key) const {
    return (static_cast<std::uint32_t>(key) - static_cast<std::uint32_t>(base_)) >> stride_;
  }
  std::int32_t key_at(const std::uint8_t& count) const {
    const auto index = static_cast<std::int64_t>(&count - counts_.data());
    return static_cast<std::int32_t>(base_ + index * (std::int64_t{1} << stride_));
  }
  // The counts of the range spanned; none while empty.
  std::span<std::uint8_t> spanned() {
    if (empty()) return {};
    return counts_.span().subspan(offset(spanned_.low), offset(spanned_.high) - offset(spanned_.low) + 1);
  }

  // Makes the window hold keys spanning `range`, those counted so far
  // among them, in slots `stride` bits apart, no more than now; false if
  // it cannot.
  bool reach(const KeyRange& range, unsigned stride);
  // Moves every count to its slot on the finer grid of `stride` bits from
  // `base`, a base on it that leaves every key counted in the window.
  void move_to_finer_grid(std::int64_t base, unsigned stride);
  // Sets the range spanned, and the pages that suit it.
  void set_span(const KeyRange& range);
  // Adds `carries` 256s to the key's count. Out of line: rare.
  void carry(std::int32_t key, std::uint32_t carries);
  // Calls visit(key, count) with the whole count, modulo 2^32, of each key
  // that carried, zeroes its byte and forgets its carries.
  template <class Visit>
  void drain_carried(Visit visit) {
    carried_.drain([&](const CountedKey& entry) {
      const auto key = static_cast<std::int32_t>(entry.key);
      std::uint8_t& low_byte = counts_[offset(key)];
      visit(key, low_byte + (entry.count << 8));
      low_byte = 0;
    });
  }

  PageArray<std::uint8_t> counts_;  // kWindow counts, once a case used them
  std::int64_t base_ = 0;           // the key counted at counts_[0], in the 32-bit keys
  unsigned stride_ = 0;             // counts_[i] counts key base_ + (i << stride_)
  KeyRange spanned_{};              // the keys counted, while keys_ > 0
  std::uint64_t keys_ = 0;
  CountingTable carried_;  // the 256s of each count that carried
};

}  // namespace diagonal_picks
