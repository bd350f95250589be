// The tally's loops over a batch of keys that vectorise, compiled once per
// instruction set: AVX2 multiplies and compares eight 32-bit lanes at once,
// where the x86-64 base has no 32-bit multiply or signed minimum in its
// vectors. And the copy of a staging line that bypasses the caches.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "tally/key_hash.h"

namespace diagonal_picks {

// The words of a staging line that a kernel streams to memory at once.
inline constexpr std::size_t kStreamedLineWords = 64;

// The least and the greatest of some keys, and the bits in which they
// differ: keys whose differences are all multiples of 2^k share their low
// k bits.
struct KeyRange {
  std::int32_t low;
  std::int32_t high;
  std::uint32_t varying;
};

// The range of the keys of both.
inline KeyRange merged(KeyRange a, KeyRange b) {
  return {std::min(a.low, b.low), std::max(a.high, b.high),
          a.varying | b.varying | (static_cast<std::uint32_t>(a.low) ^ static_cast<std::uint32_t>(b.low))};
}

// How many low bits keys that differ share: they lie a multiple of
// 2^stride_bits apart. Keys all equal show no grid: 0.
inline unsigned stride_bits(KeyRange range) {
  return range.varying == 0 ? 0 : static_cast<unsigned>(std::countr_zero(range.varying));
}

struct BatchKernel {
  std::string_view name;
  // mixed[i] = key_hash::mix(keys[i], seed), for i < count.
  void (*mix)(const std::int32_t* keys, std::uint32_t* mixed, std::size_t count, key_hash::Seed seed);
  // Sets `range` to the range of `count` keys, count >= 1. Written in
  // place: returned in registers, its three fields were packed through
  // the stack, and the caller's load of two of them waited for both
  // stores (T, a case per point, took 5 % longer).
  void (*range)(const std::int32_t* keys, std::size_t count, KeyRange& range);
  // Copies kStreamedLineWords words to `to`, 32-byte aligned, past the
  // caches where the instruction set can (non-temporal stores): for words
  // that nothing reads again soon. This thread sees them at once, another
  // only after finish_streaming().
  void (*stream_line)(std::uint32_t* to, const std::uint32_t* from);
  // Orders the lines streamed so far before every later store of this
  // thread, as plain stores are ordered: a thread that synchronises with
  // it afterwards sees them.
  void (*finish_streaming)();
};

// The kernels this processor can run, best first; the portable one is last.
std::span<const BatchKernel> supported_batch_kernels();

// The best of those, chosen once at start-up.
const BatchKernel& best_batch_kernel();

}  // namespace diagonal_picks
