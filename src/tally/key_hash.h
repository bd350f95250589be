#pragma once

#include <cstdint>

// Mixes a key so that every bit of the result depends on every bit of the
// key. The tally works on mixed keys only: their top bits choose a
// partition and their next bits a table slot, so multiples of a power of
// two, ascending runs and other regular keys spread like random ones.
//
// The mix is a bijection on 32 bits (each step is invertible), so two keys
// are equal exactly when their mixed values are, and counting mixed keys is
// counting keys.
//
// It is keyed by a seed drawn once per process from the kernel's
// randomness, so that nobody who reads this code can choose keys that crowd
// one partition or one table slot. No output depends on the seed.
namespace diagonal_picks::key_hash {

inline constexpr std::uint32_t kFirstFactor = 0x7FEB352DU;
inline constexpr std::uint32_t kSecondFactor = 0x846CA68BU;

// Mixed in before each of the two multiplications.
struct Seed {
  std::uint32_t before_first = 0;
  std::uint32_t before_second = 0;
  friend bool operator==(const Seed&, const Seed&) = default;
};

// Always inlined: the batch kernels compile it for their own instruction
// sets, and an out-of-line copy could be shared between them.
[[gnu::always_inline]] constexpr std::uint32_t mix(std::uint32_t key, Seed seed) {
  key ^= seed.before_first;
  key ^= key >> 16;
  key *= kFirstFactor;
  key ^= seed.before_second;
  key ^= key >> 16;
  key *= kSecondFactor;
  key ^= key >> 16;
  return key;
}

// The multiplicative inverse of an odd factor modulo 2^32, by Newton's
// iteration: each step doubles the number of correct low bits.
constexpr std::uint32_t inverse(std::uint32_t odd_factor) {
  std::uint32_t inverse = odd_factor;  // correct in the low 3 bits
  for (int step = 0; step < 4; ++step) inverse *= 2U - odd_factor * inverse;
  return inverse;
}

// The key whose mixed value is `mixed`; tests and the benchmark use it to
// build keys that land where they choose.
constexpr std::uint32_t unmix(std::uint32_t mixed, Seed seed) {
  mixed ^= mixed >> 16;  // a shift by half the width undoes itself
  mixed *= inverse(kSecondFactor);
  mixed ^= mixed >> 16;
  mixed ^= seed.before_second;
  mixed *= inverse(kFirstFactor);
  mixed ^= mixed >> 16;
  mixed ^= seed.before_first;
  return mixed;
}

// The odd 64-bit factor of the tables' multiply-shift hash, drawn from the
// seed: a key's home slot is the top bits of key * factor. Every seed, zero
// included, gives a factor with bits spread over the whole word.
constexpr std::uint64_t slot_factor(Seed seed) {
  std::uint64_t bits = (std::uint64_t{seed.before_second} << 32 | seed.before_first) ^ 0x9E3779B97F4A7C15U;
  bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9U;
  bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBU;
  return (bits ^ (bits >> 31)) | 1U;
}

static_assert(unmix(mix(0x12345678U, {0xDEADBEEFU, 0x01234567U}), {0xDEADBEEFU, 0x01234567U}) == 0x12345678U);

// The seed that tallies made from now on mix with: drawn from the kernel's
// randomness at the first call, then the same for the rest of the process.
Seed process_seed();

// The hook for tests, the fuzzer and the benchmark, which build keys that
// collide under a seed they know: tallies made after this call use `seed`.
// Call it before starting any thread that makes tallies.
void fix_process_seed(Seed seed);

}  // namespace diagonal_picks::key_hash
