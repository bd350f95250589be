#include "case_loop.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>

#include "diagonal_tally.h"

namespace diagonal_picks {

void FdLineSink::write_line(std::string_view line) {
  while (!line.empty()) {
    const ssize_t written = ::write(fd_, line.data(), line.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // the output is gone; the run goes on
    line.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::size_t format_ratio_line(double result, char (&line)[kMaxLineLength]) {
  const auto [end, error] = std::to_chars(line, line + kMaxLineLength - 1, result, std::chars_format::fixed, 10);
  // The buffer fits every double, so `error` is always success.
  static_cast<void>(error);
  *end = '\n';
  return static_cast<std::size_t>(end - line) + 1;
}

void run_cases(InputReader& input, LineSink& output) {
  // The tallies are reused across cases: clearing a small one is cheaper
  // than building it afresh.
  DiagonalTally NEdiags;
  DiagonalTally SEdiags;
  std::int64_t N = 0;
  while (input.read_int64(N) == ReadStatus::ok) {
    for (std::int64_t i = 0; i < N; ++i) {
      std::int32_t X = 0;
      std::int32_t Y = 0;
      if (input.read_int32(X) == ReadStatus::failed || input.read_int32(Y) == ReadStatus::failed) break;
      add_point(NEdiags, SEdiags, X, Y);
    }
    const double result = pick_ratio(N, NEdiags, SEdiags);
    char line[kMaxLineLength];
    output.write_line({line, format_ratio_line(result, line)});
    SEdiags.clear();
    NEdiags.clear();
  }
}

}  // namespace diagonal_picks
