// The tally's loops over a batch of keys that vectorise, compiled once per
// instruction set: AVX2 multiplies and compares eight 32-bit lanes at once,
// where the x86-64 base has no 32-bit multiply or signed minimum in its
// vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "tally/key_hash.h"

namespace diagonal_picks {

struct KeyRange {
  std::int32_t low;
  std::int32_t high;
};

struct BatchKernel {
  std::string_view name;
  // mixed[i] = key_hash::mix(keys[i], seed), for i < count.
  void (*mix)(const std::int32_t* keys, std::uint32_t* mixed, std::size_t count, key_hash::Seed seed);
  // The least and the greatest of `count` keys, count >= 1.
  KeyRange (*range)(const std::int32_t* keys, std::size_t count);
};

// The kernels this processor can run, best first; the portable one is last.
std::span<const BatchKernel> supported_batch_kernels();

// The best of those, chosen once at start-up.
const BatchKernel& best_batch_kernel();

}  // namespace diagonal_picks
