#include "case_loop.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "tally/diagonal_tally.h"

namespace diagonal_picks {
namespace {

// Both tallies of a case. They are reused across cases: clearing a small
// one is cheaper than building it afresh.
class DiagonalCounter {
 public:
  // One direction at a time, so that only one tally's buffers compete for
  // the cache.
  void add(std::span<const std::int32_t> coordinates) {
    const std::size_t points = coordinates.size() / 2;
    for (std::size_t i = 0; i < points; ++i) keys_[i] = NEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
    NEdiags_.add({keys_.data(), points});
    for (std::size_t i = 0; i < points; ++i) keys_[i] = SEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
    SEdiags_.add({keys_.data(), points});
  }

  double finish(std::int64_t N) {
    const double result = pick_ratio(N, NEdiags_, SEdiags_);
    SEdiags_.clear();
    NEdiags_.clear();
    return result;
  }

 private:
  DiagonalTally NEdiags_;
  DiagonalTally SEdiags_;
  std::array<std::int32_t, kBatchPoints> keys_;
};

}  // namespace

LineWriter file_descriptor_writer(int fd) {
  return [fd](std::string_view line) {
    while (!line.empty()) {
      const ssize_t written = ::write(fd, line.data(), line.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;  // the output is gone; the run goes on
      line.remove_prefix(static_cast<std::size_t>(written));
    }
  };
}

std::size_t format_ratio_line(double result, char (&line)[kMaxLineLength]) {
  if (std::isnan(result)) {
    // Processors disagree on the sign of the NaN that 0.0 / 0.0 gives; the
    // output must not.
    static constexpr char kNan[] = "-nan\n";
    std::memcpy(line, kNan, sizeof kNan - 1);
    return sizeof kNan - 1;
  }
  const auto [end, error] = std::to_chars(line, line + kMaxLineLength - 1, result, std::chars_format::fixed, 10);
  // The buffer fits every double, so `error` is always success.
  static_cast<void>(error);
  *end = '\n';
  return static_cast<std::size_t>(end - line) + 1;
}

void run_cases(InputReader& input, const LineWriter& write_line) {
  DiagonalCounter counter;
  read_cases(input, counter, write_line);
}

}  // namespace diagonal_picks
