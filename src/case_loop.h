#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "read/input_reader.h"
#include "read/parallel_reader.h"

namespace diagonal_picks {

// Receives the output, one complete line (with its line feed) per case.
using LineWriter = std::function<void(std::string_view line)>;

// Writes each line straight to `fd` with write(2), so it is out of the
// process before the next case is read. Write failures are ignored.
LineWriter file_descriptor_writer(int fd);

// Longest line format_ratio_line writes: sign, 309 integer digits, point,
// ten decimals and the line feed.
inline constexpr std::size_t kMaxLineLength = 1 + 309 + 1 + 10 + 1;

// Writes `result` in fixed notation with ten digits after the point, rounded
// to nearest, then a line feed. Every NaN prints as "-nan", whatever sign
// bit the processor gave it. Returns the number of characters written.
std::size_t format_ratio_line(double result, char (&line)[kMaxLineLength]);

// The case loop's reading, shared by the program and the benchmark's floor:
// reads cases (a count, then that many X Y points) until the input ends or
// a count cannot be read. For each case it hands the coordinates to
// `counter.add(span of X, Y, X, Y, ...)` in batches, then writes the line of
// `counter.finish(N)`, which also readies the counter for the next case. A
// count whose digits run to the very end of the input is not a case. A case
// whose points are cut short still gets its line, from the points read, and
// ends the run. With `split`, the points of a large case are read on
// several threads and handed to the counter as a PointSink, as far as they
// can be.
// Points handed to the counter at a time, at most.
inline constexpr std::size_t kBatchPoints = 2048;

template <class Counter>
void read_cases(InputReader& input, Counter& counter, const LineWriter& write_line, ParallelReader* split = nullptr) {
  std::array<std::int32_t, 2 * kBatchPoints> coordinates;
  std::int64_t N = 0;
  while (input.read_int64(N) == ReadStatus::ok) {
    std::int64_t remaining = N;
    if constexpr (std::is_base_of_v<PointSink, Counter>) {
      // A test per case, inline: streams of small cases pay nothing more.
      if (split != nullptr && split->worth_splitting(N)) remaining -= split->read_points(input, N, counter);
    }
    while (remaining > 0) {
      const auto points = static_cast<std::size_t>(std::min<std::int64_t>(remaining, kBatchPoints));
      const std::size_t read = input.read_int32s({coordinates.data(), 2 * points});
      counter.add(std::span<const std::int32_t>(coordinates.data(), read / 2 * 2));
      if (read < 2 * points) break;
      remaining -= static_cast<std::int64_t>(points);
    }
    char line[kMaxLineLength];
    write_line({line, format_ratio_line(counter.finish(N), line)});
  }
}

// The program: counts the points of each case on both diagonal directions
// and writes the share of picks that share a diagonal. `file`, when given,
// is the descriptor that `input` reads: large cases are then read on every
// CPU the process may use.
void run_cases(InputReader& input, const LineWriter& write_line, std::optional<int> file = std::nullopt);

}  // namespace diagonal_picks
