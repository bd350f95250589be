// Writes one benchmark workload to standard output, deterministically.
// Usage: generate WORKLOAD [SCALE]   (SCALE multiplies the sizes; default 1)

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tally/key_hash.h"

namespace {

class Writer {
 public:
  Writer() = default;
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  Writer(Writer&&) = delete;
  Writer& operator=(Writer&&) = delete;
  ~Writer() { flush(); }
  void number(std::int64_t value, char after) {
    if (buffer_.size() > (1 << 20)) flush();
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    buffer_.append(digits, result.ptr);
    buffer_ += after;
  }
  void point(std::int64_t x, std::int64_t y) {
    number(x, ' ');
    number(y, '\n');
  }

 private:
  void flush() {
    std::fwrite(buffer_.data(), 1, buffer_.size(), stdout);
    buffer_.clear();
  }
  std::string buffer_;
};

// `count` keys (a power of two) whose mixed values, under the seed that the
// benchmark fixes, share all but their low bits with the mixed value of
// `seed_key`: under that seed they would fall into one partition, share one
// home slot in the small table at every size, and crowd a few home slots in
// the partition's table. A hash-flooding attack by someone who knows the
// code; the program's own random seed defeats it.
std::vector<std::uint32_t> colliding_keys(std::uint32_t seed_key, std::uint32_t count) {
  namespace key_hash = diagonal_picks::key_hash;
  constexpr key_hash::Seed kKnownSeed{};
  const std::uint32_t shared = key_hash::mix(seed_key, kKnownSeed) & ~(count - 1);
  std::vector<std::uint32_t> keys;
  for (std::uint32_t low = 0; low < count; ++low) keys.push_back(key_hash::unmix(shared | low, kKnownSeed));
  return keys;
}

// A point whose X + Y is `key`, with both coordinates in the 32-bit range.
std::pair<std::int64_t, std::int64_t> point_on(std::uint32_t key, std::int64_t jitter) {
  const std::int64_t sum = static_cast<std::int32_t>(key);
  const std::int64_t x = sum / 2 + jitter;
  return {x, sum - x};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: generate W|D|MID|S|T|MED|A11|A16|A20|ASC|DESC|EQ|COLLIDE|SMALLCOLLIDE|ONEPART [SCALE]\n");
    return 2;
  }
  const std::string_view workload = argv[1];
  const double scale = argc > 2 ? std::strtod(argv[2], nullptr) : 1.0;
  const auto scaled = [scale](double size) { return static_cast<std::int64_t>(size * scale) + 1; };
  std::mt19937_64 random(20261207);
  const auto uniform = [&random](std::int64_t limit) {
    return std::uniform_int_distribution<std::int64_t>(-limit, limit)(random);
  };
  Writer out;
  const std::int64_t points = scaled(1e7);

  if (workload == "W" || workload == "D") {
    const std::int64_t limit = workload == "W" ? 1000000000 : 1000;
    out.number(points, '\n');
    for (std::int64_t i = 0; i < points; ++i) out.point(uniform(limit), uniform(limit));
  } else if (workload == "MID") {
    // About 10^6 distinct keys in each direction, each seen about ten times.
    out.number(points, '\n');
    for (std::int64_t i = 0; i < points; ++i) out.point(uniform(250000), uniform(250000));
  } else if (workload == "S" || workload == "T") {
    const std::int64_t cases = workload == "S" ? scaled(1e5) : scaled(1e6);
    const std::int64_t size = workload == "S" ? 10 : 1;
    for (std::int64_t c = 0; c < cases; ++c) {
      out.number(size, '\n');
      for (std::int64_t i = 0; i < size; ++i) out.point(uniform(1000), uniform(1000));
    }
  } else if (workload == "A11" || workload == "A16" || workload == "A20") {
    // Both keys are multiples of 2^k when both coordinates are.
    const int shift = std::atoi(argv[1] + 1);
    const std::int64_t limit = ((std::int64_t{1} << 30) - 1) >> shift;  // keeps X + Y in 32 bits
    out.number(points, '\n');
    for (std::int64_t i = 0; i < points; ++i) out.point(uniform(limit) << shift, uniform(limit) << shift);
  } else if (workload == "ASC") {
    out.number(points, '\n');
    for (std::int64_t i = 0; i < points; ++i) out.point(i, 2 * i);  // keys i and 3i, ascending
  } else if (workload == "DESC") {
    out.number(points, '\n');
    for (std::int64_t i = 0; i < points; ++i) out.point(-i, -2 * i);  // keys -i and -3i, descending
  } else if (workload == "EQ") {
    out.number(points, '\n');
    for (std::int64_t i = 0; i < points; ++i) out.point(7, 7);
  } else if (workload == "COLLIDE") {
    // Points whose keys X + Y would all share one home slot in the table
    // under a seed that an attacker knew.
    const std::vector<std::uint32_t> keys = colliding_keys(1, 4096);
    out.number(points, '\n');
    for (std::int64_t i = 0; i < points; ++i) {
      const auto [x, y] = point_on(keys[static_cast<std::size_t>(i) % keys.size()], uniform(1000000));
      out.point(x, y);
    }
  } else if (workload == "ONEPART") {
    // Keys X + Y that would crowd one partition: 2^21 of them, the most
    // whose mixed values share their top 11 bits.
    const std::vector<std::uint32_t> keys = colliding_keys(1, std::uint32_t{1} << 21);
    out.number(points, '\n');
    for (std::int64_t i = 0; i < points; ++i) {
      const auto pick = static_cast<std::size_t>(random() % keys.size());
      const auto [x, y] = point_on(keys[pick], uniform(1000000));
      out.point(x, y);
    }
  } else if (workload == "MED") {
    // Middling cases, spread like W's: each outgrows the small table, none
    // is large enough to read on several threads.
    const std::int64_t cases = scaled(500);
    for (std::int64_t c = 0; c < cases; ++c) {
      out.number(20000, '\n');
      for (std::int64_t i = 0; i < 20000; ++i) out.point(uniform(1000000000), uniform(1000000000));
    }
  } else if (workload == "SMALLCOLLIDE") {
    // Many small cases, each with 40 points whose keys X + Y collide, so
    // that every case leaves the small table.
    std::vector<std::uint32_t> keys = colliding_keys(1, 64);
    keys.resize(40);
    const std::int64_t cases = scaled(2.5e5);
    for (std::int64_t c = 0; c < cases; ++c) {
      out.number(static_cast<std::int64_t>(keys.size()), '\n');
      for (const std::uint32_t key : keys) {
        const auto [x, y] = point_on(key, uniform(1000));
        out.point(x, y);
      }
    }
  } else {
    std::fprintf(stderr, "generate: unknown workload %s\n", argv[1]);
    return 2;
  }
  return 0;
}
