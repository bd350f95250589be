// Times the tally alone on keys generated in memory, with no text to read.
// Usage: count_keys KEYSET [SCALE]   prints: KEYSET keys distinct ns-per-key peak-KiB
//        count_keys --list           prints the key sets
// SCALE multiplies the number of keys and of distinct values (default 1).
// Peak memory is the growth of the peak resident set while counting. The
// sum of squared counts is checked against the one the key set must give,
// so neither a dropped loop nor a wrong count can pass as fast.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tally/diagonal_tally.h"
#include "tally/key_hash.h"

namespace {

// Every key set is `count` keys over `distinct` values: key i is
// value((order(i)) mod distinct), where `order` permutes 0..count-1 and
// `value` is one-to-one. So each value is seen count / distinct times, or
// once more, and the sum of squared counts follows.
struct KeySet {
  std::string_view name;
  std::uint64_t count;
  std::uint64_t distinct;
  bool shuffled;  // visit the values in a scattered order, not 0, 1, 2, ...
  std::function<std::uint32_t(std::uint64_t)> value;
  // Built to collide under the known seed, which the tally then uses; the
  // other sets run under a seed drawn per process, as the program does.
  bool known_seed = false;
  // The most values `value` keeps apart; scaling up keeps `distinct` within it.
  std::uint64_t most_distinct = std::uint64_t{1} << 32;
};

std::uint32_t spread(std::uint64_t v) { return static_cast<std::uint32_t>(v) * 0x9E3779B1U; }

// The seed that the tallies here mix with, fixed so that the colliding key
// sets below collide.
constexpr diagonal_picks::key_hash::Seed kKnownSeed{};

// Mixed values that share their top bits: one partition, and crowded home
// slots in every table.
std::uint32_t colliding(std::uint64_t v, unsigned low_bits) {
  namespace key_hash = diagonal_picks::key_hash;
  const std::uint32_t shared = key_hash::mix(1, kKnownSeed) & ~((std::uint32_t{1} << low_bits) - 1);
  return key_hash::unmix(shared | static_cast<std::uint32_t>(v), kKnownSeed);
}

const std::vector<KeySet>& key_sets() {
  static const std::vector<KeySet> sets = {
      {"W-like", 20000000, 20000000, true, spread},
      {"D-like", 20000000, 4000, true, spread},
      {"within-2000", 20000000, 4001, true, [](std::uint64_t v) { return static_cast<std::uint32_t>(v) - 2000U; },
       false, 4001},
      {"MID", 10000000, 1000000, true, spread},
      {"1e8/1e4", 100000000, 10000, true, spread},
      {"x2^11", 20000000, 1 << 21, true, [](std::uint64_t v) { return static_cast<std::uint32_t>(v) << 11; }, false,
       1 << 21},
      // The same, each odd multiple one more: on no grid, so counted wide.
      {"x2^11+parity", 20000000, 1 << 21, true,
       [](std::uint64_t v) { return static_cast<std::uint32_t>(v) << 11 | static_cast<std::uint32_t>(v & 1); }, false,
       1 << 21},
      {"x2^20", 20000000, 1 << 12, true, [](std::uint64_t v) { return static_cast<std::uint32_t>(v) << 20; }, false,
       1 << 12},
      {"ascending", 20000000, 20000000, false, [](std::uint64_t v) { return static_cast<std::uint32_t>(v); }},
      {"descending", 20000000, 20000000, false, [](std::uint64_t v) { return static_cast<std::uint32_t>(-v); }},
      {"equal", 20000000, 1, false, [](std::uint64_t) { return 7U; }, false, 1},
      {"repeated-half", 20000000, 10000000, false, spread},
      {"collide", 20000000, 4096, false, [](std::uint64_t v) { return colliding(v, 12); }, true, 4096},
      {"one-partition", 20000000, std::uint64_t{1} << 21, true, [](std::uint64_t v) { return colliding(v, 21); }, true,
       std::uint64_t{1} << 21},
  };
  return sets;
}

std::vector<std::int32_t> generate(const KeySet& set) {
  // Stepping by a large prime modulo the count visits every index once.
  constexpr std::uint64_t kStep = 1000000007;
  std::vector<std::int32_t> keys(set.count);
  std::uint64_t index = 0;
  for (std::uint64_t i = 0; i < set.count; ++i) {
    const std::uint64_t position = set.shuffled ? index : i;
    keys[i] = static_cast<std::int32_t>(set.value(position % set.distinct));
    index = (index + kStep) % set.count;
  }
  return keys;
}

std::uint64_t expected_sum(const KeySet& set) {
  const std::uint64_t q = set.count / set.distinct;
  const std::uint64_t r = set.count % set.distinct;
  return (set.distinct - r) * q * q + r * (q + 1) * (q + 1);
}

// A field of /proc/self/status, in KiB: VmRSS is the resident set now,
// VmHWM its peak. (getrusage's peak would include the peak of the process
// that started this one, which it inherits across exec.)
long status_kib(std::string_view field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view wanted = argc > 1 ? argv[1] : "";
  if (wanted == "--list") {
    for (const KeySet& set : key_sets()) std::printf("%.*s\n", static_cast<int>(set.name.size()), set.name.data());
    return 0;
  }
  const double scale = argc > 2 ? std::strtod(argv[2], nullptr) : 1.0;
  for (KeySet set : key_sets()) {
    if (set.name != wanted) continue;
    const auto scaled = [scale](std::uint64_t size) {
      return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(static_cast<double>(size) * scale));
    };
    set.count = scaled(set.count);
    set.distinct = std::min(scaled(set.distinct), set.most_distinct);
    if (set.known_seed) diagonal_picks::key_hash::fix_process_seed(kKnownSeed);
    const std::vector<std::int32_t> keys = generate(set);
    diagonal_picks::DiagonalTally tally;
    const long resident_before = status_kib("VmRSS");
    const auto start = std::chrono::steady_clock::now();
    tally.add(keys);
    const std::uint64_t sum = tally.finish();
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    const long peak = status_kib("VmHWM") - resident_before;
    if (sum != expected_sum(set)) {
      std::fprintf(stderr, "count_keys: %s summed to %llu, not %llu\n", argv[1], static_cast<unsigned long long>(sum),
                   static_cast<unsigned long long>(expected_sum(set)));
      return 1;
    }
    std::printf("%s %llu %llu %.3f %ld\n", argv[1], static_cast<unsigned long long>(set.count),
                static_cast<unsigned long long>(set.distinct), elapsed.count() / static_cast<double>(set.count), peak);
    return 0;
  }
  std::fprintf(stderr, "usage: count_keys KEYSET [SCALE] | --list\n");
  return 2;
}
