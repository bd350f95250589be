#pragma once

#include <cstddef>
#include <cstdint>

namespace diagonal_picks {

// Counts how many points of one case lie on each diagonal of one direction,
// keyed by Y - X or by X + Y, and sums the squares of those counts.
//
// A case with few distinct keys is counted in a small open-addressing table
// that stays in cache. When the keys outgrow it, or a probe runs too long
// (keys chosen to collide), the tally switches for the rest of the case to
// sorting: keys are buffered, radix sorted and merged into two sorted lists,
// one of the keys seen once (4 bytes each) and one of the keys seen more
// often with their counts (8 bytes each). Either way each key costs a bounded
// amount of work, and memory grows with the number of distinct keys, not
// with the points.
//
// Counts are exact up to 2^32 - 1 points on one diagonal.
class DiagonalTally {
 public:
  DiagonalTally();
  ~DiagonalTally();
  DiagonalTally(const DiagonalTally&) = delete;
  DiagonalTally& operator=(const DiagonalTally&) = delete;
  DiagonalTally(DiagonalTally&&) = delete;
  DiagonalTally& operator=(DiagonalTally&&) = delete;

  // Counts one more point on the diagonal `key`.
  void add(std::int32_t key) {
    const auto bits = static_cast<std::uint32_t>(key);
    if (!sorting_ && add_to_table(bits)) return;
    if (pending_size_ == pending_capacity_) merge_pending();
    pending_[pending_size_++] = bits;
  }

  // The sum over all diagonals of count * count, modulo 2^64.
  std::uint64_t sum_of_squared_counts();

  // Empties the tally for the next case; cheap when the case was small.
  void clear();

  // The table's hash, whose top bits pick a key's home slot. Public so that
  // tests can build keys that collide in the table.
  static constexpr std::uint64_t hash(std::uint32_t key) { return key * std::uint64_t{0x9E3779B97F4A7C15}; }
  static constexpr unsigned kMaxTableBits = 16;

 private:
  struct Entry {
    std::uint32_t key;
    std::uint32_t count;  // 0 marks a free table slot
  };

  static constexpr unsigned kInitialBits = 6;
  static constexpr unsigned kMaxBits = kMaxTableBits;
  static constexpr unsigned kMaxProbe = 32;

  std::size_t home_slot(std::uint32_t key) const {
    // Fibonacci hashing: the top bits of the product depend on every key bit.
    return static_cast<std::size_t>(hash(key) >> (64 - table_bits_));
  }

  // Counts `key` in the table; false when the table cannot take it and the
  // tally has switched to sorting.
  bool add_to_table(std::uint32_t key) {
    const std::size_t mask = (std::size_t{1} << table_bits_) - 1;
    std::size_t slot = home_slot(key);
    for (unsigned probe = 0; probe < kMaxProbe; ++probe, slot = (slot + 1) & mask) {
      Entry& entry = table_[slot];
      if (entry.count == 0) return insert_into_table(key, slot);
      if (entry.key == key) {
        ++entry.count;
        return true;
      }
    }
    switch_to_sorting();
    return false;
  }

  bool insert_into_table(std::uint32_t key, std::size_t free_slot);
  void grow_table();
  void switch_to_sorting();
  void merge_pending();
  void reserve_pending(std::size_t keys);

  Entry* table_;  // 2^kMaxBits entries; the first 2^table_bits_ are in use
  unsigned table_bits_ = kInitialBits;
  std::size_t table_size_ = 0;

  bool sorting_ = false;
  std::uint32_t* pending_ = nullptr;  // keys not yet merged into the lists
  std::uint32_t* scratch_ = nullptr;  // radix sort buffer, as large as pending_
  std::size_t pending_size_ = 0;
  std::size_t pending_capacity_ = 0;
  // Keys seen once, and keys seen more often with their counts; both in
  // ascending order, and no key in both.
  std::uint32_t* singles_ = nullptr;
  std::size_t singles_size_ = 0;
  Entry* multiples_ = nullptr;
  std::size_t multiples_size_ = 0;
};

// Adds the point (X, Y) to both tallies. The keys wrap around modulo 2^32
// when Y - X or X + Y leaves the 32-bit range.
inline void add_point(DiagonalTally& NEdiags, DiagonalTally& SEdiags, std::int32_t X, std::int32_t Y) {
  const auto x = static_cast<std::uint32_t>(X);
  const auto y = static_cast<std::uint32_t>(Y);
  const auto NEdiag = static_cast<std::int32_t>(y - x);
  const auto SEdiag = static_cast<std::int32_t>(x + y);
  NEdiags.add(NEdiag);
  SEdiags.add(SEdiag);
}

// The share of the N * N ordered picks that are picks of two different points
// on a common diagonal, counted once per shared direction:
// (sum of squared counts - 2N) / (N * N). Integer steps wrap modulo 2^64;
// N = 0 gives 0.0 / 0.0, a NaN. A negative N, which adds no points, gives
// 2 / |N|.
double pick_ratio(std::int64_t N, DiagonalTally& NEdiags, DiagonalTally& SEdiags);

}  // namespace diagonal_picks
