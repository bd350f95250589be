#pragma once

// Key sets for the tally's parts: random ones, and ones whose mixed values
// collide in the tables.

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "tally/key_hash.h"

namespace diagonal_picks::reference {

// `count` mixed keys in random order over `distinct` random values, each
// value taken count / distinct times or once more.
inline std::vector<std::uint32_t> random_mixed_keys(std::size_t count, std::size_t distinct, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint32_t> values(distinct);
  for (auto& value : values) value = static_cast<std::uint32_t>(random());
  std::vector<std::uint32_t> keys(count);
  for (std::size_t i = 0; i < count; ++i) keys[i] = values[i % distinct];
  std::shuffle(keys.begin(), keys.end(), random);
  return keys;
}

// Mixed values that agree in all but their low `free_bits` bits: one
// partition, one home slot in every small table.
inline std::vector<std::uint32_t> colliding_mixed_keys(std::size_t count, unsigned free_bits) {
  const std::uint32_t shared = 0x9E3779B9U & ~((std::uint32_t{1} << free_bits) - 1);
  std::vector<std::uint32_t> keys(count);
  for (std::size_t i = 0; i < count; ++i) {
    keys[i] = shared | static_cast<std::uint32_t>(i % (std::size_t{1} << free_bits));
  }
  return keys;
}

inline std::map<std::uint32_t, std::uint64_t> count_in_map(const std::vector<std::uint32_t>& keys) {
  std::map<std::uint32_t, std::uint64_t> counts;
  for (const std::uint32_t key : keys) ++counts[key];
  return counts;
}

inline std::uint64_t sum_of_squares(const std::map<std::uint32_t, std::uint64_t>& counts) {
  std::uint64_t sum = 0;
  for (const auto& [key, count] : counts) sum += count * count;
  return sum;
}

}  // namespace diagonal_picks::reference
