#include "tally/key_hash.h"

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

namespace diagonal_picks::key_hash {
namespace {

Seed draw_seed() {
  std::uint64_t bits = 0;
#if defined(__linux__) && !defined(DIAGONAL_PICKS_POSIX_FALLBACK)
  const bool drawn = ::getrandom(&bits, sizeof bits, 0) == static_cast<ssize_t>(sizeof bits);
#else
  const bool drawn = ::getentropy(&bits, sizeof bits) == 0;
#endif
  if (!drawn) {
    // No kernel randomness (a sandbox that forbids the call): the clock and
    // where the loader put this code and the stack still vary per run.
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto code = reinterpret_cast<std::uintptr_t>(&draw_seed);
    const auto stack = reinterpret_cast<std::uintptr_t>(&bits);
    bits = (now * 0x9E3779B97F4A7C15U) ^ code ^ (std::uint64_t{stack} << 17);
  }
  return {static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(bits >> 32)};
}

std::uint64_t packed(Seed seed) { return seed.before_first | std::uint64_t{seed.before_second} << 32; }

std::atomic<std::uint64_t>& current_seed() {
  static std::atomic<std::uint64_t> seed{packed(draw_seed())};
  return seed;
}

}  // namespace

Seed process_seed() {
  const std::uint64_t bits = current_seed().load(std::memory_order_relaxed);
  return {static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(bits >> 32)};
}

void fix_process_seed(Seed seed) { current_seed().store(packed(seed), std::memory_order_relaxed); }

}  // namespace diagonal_picks::key_hash
