// Independent models that the tests and the fuzzers check the program
// against: formatted stream extraction for reading, and a direct count of
// every ordered pair for the ratio; and a byte source that serves a string
// in chunks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "read/input_reader.h"

namespace diagonal_picks::reference {

struct ReadStep {
  ReadStatus status;
  std::int64_t value;  // 0 when the read failed
  bool operator==(const ReadStep&) const = default;
};

inline void PrintTo(const ReadStep& step, std::ostream* os) {
  static const char* const kNames[] = {"ok", "ok_at_end", "failed"};
  *os << kNames[static_cast<int>(step.status)] << ' ' << step.value;
}

// Alternates 64-bit and 32-bit reads, as the case loop does for a count and
// a coordinate, up to the first failed read.
template <class Read64, class Read32>
std::vector<ReadStep> read_alternating(Read64 read64, Read32 read32) {
  std::vector<ReadStep> steps;
  for (int i = 0; steps.empty() || steps.back().status != ReadStatus::failed; ++i) {
    ReadStep step{ReadStatus::failed, 0};
    if (i % 2 == 0) {
      step.status = read64(step.value);
    } else {
      std::int32_t value = 0;
      step.status = read32(value);
      step.value = value;
    }
    if (step.status == ReadStatus::failed) step.value = 0;
    steps.push_back(step);
  }
  return steps;
}

// The reference: std::istream formatted extraction in the classic locale.
inline std::vector<ReadStep> read_with_stream(std::string_view text) {
  std::istringstream stream{std::string(text)};
  const auto status = [&stream] {
    if (stream.fail()) return ReadStatus::failed;
    return stream.eof() ? ReadStatus::ok_at_end : ReadStatus::ok;
  };
  return read_alternating(
      [&](std::int64_t& value) {
        stream >> value;
        return status();
      },
      [&](std::int32_t& value) {
        stream >> value;
        return status();
      });
}

// Serves `text` (which must outlive the source) at most `chunk_size` bytes
// per call, so that tests can place block boundaries anywhere.
inline ByteSource chunked_source(std::string_view text, std::size_t chunk_size) {
  return [text, chunk_size](char* buffer, std::size_t capacity) mutable {
    const std::size_t count = std::min({chunk_size, capacity, text.size()});
    std::memcpy(buffer, text.data(), count);
    text.remove_prefix(count);
    return count;
  };
}

// The reader's one-at-a-time reads, as above.
inline std::vector<ReadStep> read_with_reader(std::string_view text, std::size_t chunk_size, const ScanKernel& kernel) {
  InputReader reader(chunked_source(text, chunk_size), kernel);
  return read_alternating([&](std::int64_t& value) { return reader.read_int64(value); },
                          [&](std::int32_t& value) { return reader.read_int32(value); });
}

// A count read alone, then every coordinate read in batches of
// `batch_size`, as the case loop reads; a failed batch ends it.
inline std::vector<ReadStep> read_batches_with_reader(std::string_view text, std::size_t chunk_size,
                                                      const ScanKernel& kernel, std::size_t batch_size) {
  InputReader reader(chunked_source(text, chunk_size), kernel);
  std::vector<ReadStep> steps;
  std::int64_t count = 0;
  const ReadStatus status = reader.read_int64(count);
  steps.push_back({status, status == ReadStatus::failed ? 0 : count});
  if (status == ReadStatus::failed) return steps;
  std::vector<std::int32_t> values(batch_size);
  for (;;) {
    const std::size_t read = reader.read_int32s(values);
    for (std::size_t i = 0; i < read; ++i) steps.push_back({ReadStatus::ok, values[i]});
    if (read < batch_size) break;
  }
  steps.push_back({ReadStatus::failed, 0});
  return steps;
}

// The stream's reads in the same pattern: one 64-bit count, then 32-bit
// values up to the first failure, with the status of each left out.
inline std::vector<ReadStep> read_batches_with_stream(std::string_view text) {
  std::istringstream stream{std::string(text)};
  std::vector<ReadStep> steps;
  std::int64_t count = 0;
  stream >> count;
  if (stream.fail()) return {{ReadStatus::failed, 0}};
  steps.push_back({stream.eof() ? ReadStatus::ok_at_end : ReadStatus::ok, count});
  for (std::int32_t value = 0; stream >> value;) steps.push_back({ReadStatus::ok, value});
  steps.push_back({ReadStatus::failed, 0});
  return steps;
}

using Points = std::vector<std::pair<std::int32_t, std::int32_t>>;

// The diagonal keys, taken modulo 2^32 where Y - X or X + Y leaves the
// 32-bit range, as the program defines them.
inline std::uint32_t ne_key(std::int32_t x, std::int32_t y) {
  return static_cast<std::uint32_t>(y) - static_cast<std::uint32_t>(x);
}
inline std::uint32_t se_key(std::int32_t x, std::int32_t y) {
  return static_cast<std::uint32_t>(x) + static_cast<std::uint32_t>(y);
}

// Every ordered pair of two different entries, once per shared diagonal,
// over all N * N ordered picks.
inline double brute_force_ratio(const Points& points) {
  std::int64_t picks = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    for (std::size_t j = 0; j < points.size(); ++j) {
      if (i == j) continue;
      const auto [xi, yi] = points[i];
      const auto [xj, yj] = points[j];
      picks += ne_key(xi, yi) == ne_key(xj, yj) ? 1 : 0;
      picks += se_key(xi, yi) == se_key(xj, yj) ? 1 : 0;
    }
  }
  const auto n = static_cast<std::int64_t>(points.size());
  return static_cast<double>(picks) / static_cast<double>(n * n);
}

// Sum of squared counts per key, counted in an ordered map.
inline std::uint64_t map_sum_of_squares(const std::vector<std::int32_t>& keys) {
  std::map<std::int32_t, std::uint64_t> counts;
  for (const std::int32_t key : keys) ++counts[key];
  std::uint64_t sum = 0;
  for (const auto& [key, count] : counts) sum += count * count;
  return sum;
}

}  // namespace diagonal_picks::reference
