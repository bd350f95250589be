#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "input_reader.h"

namespace diagonal_picks {

// Receives the output, one complete line (with its line feed) per case.
class LineSink {
 public:
  LineSink() = default;
  LineSink(const LineSink&) = delete;
  LineSink& operator=(const LineSink&) = delete;
  LineSink(LineSink&&) = delete;
  LineSink& operator=(LineSink&&) = delete;
  virtual ~LineSink() = default;
  virtual void write_line(std::string_view line) = 0;
};

// Writes each line straight to a file descriptor, so it is out of the
// process before the next case is read. Write failures are ignored.
class FdLineSink final : public LineSink {
 public:
  explicit FdLineSink(int fd) : fd_(fd) {}
  void write_line(std::string_view line) override;

 private:
  int fd_;
};

// Collects the output in memory, for tests and fuzzers.
class StringLineSink final : public LineSink {
 public:
  void write_line(std::string_view line) override { text.append(line); }
  std::string text;
};

// Longest line format_ratio_line writes: sign, 309 integer digits, point,
// ten decimals and the line feed.
inline constexpr std::size_t kMaxLineLength = 1 + 309 + 1 + 10 + 1;

// Writes `result` in fixed notation with ten digits after the point, rounded
// to nearest, then a line feed; a NaN prints as "nan" or "-nan" by its sign.
// Returns the number of characters written to `line`.
std::size_t format_ratio_line(double result, char (&line)[kMaxLineLength]);

// Reads cases (a count, then that many X Y points) until the input ends or a
// count cannot be read, writing one ratio line per case. A count whose digits
// run to the very end of the input is not a case. A case whose points are cut
// short still gets its line, from the points read, and ends the run.
void run_cases(InputReader& input, LineSink& output);

}  // namespace diagonal_picks
