// The tally's loops over a batch of keys that vectorise, compiled once per
// instruction set: AVX2 multiplies and compares eight 32-bit lanes at once,
// where the x86-64 base has no 32-bit multiply or signed minimum in its
// vectors. And the copy of a staging line that bypasses the caches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "tally/key_hash.h"

namespace diagonal_picks {

// The words of a staging line that a kernel streams to memory at once.
inline constexpr std::size_t kStreamedLineWords = 64;

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
