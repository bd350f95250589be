#include "case_loop.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "diagonal_counter.h"

namespace diagonal_picks {
namespace {

// The CPUs this process may run on, at least 1.
unsigned allowed_cpus() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
  return static_cast<unsigned>(std::max(CPU_COUNT(&cpus), 1));
}

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

void run_cases(InputReader& input, const LineWriter& write_line, std::optional<int> file) {
  DiagonalCounter counter;
  if (!file.has_value()) {
    read_cases(input, counter, write_line);
    return;
  }
  ParallelReader split(*file, {.threads = allowed_cpus(), .owners = DiagonalCounter::kOwners});
  read_cases(input, counter, write_line, &split);
}

}  // namespace diagonal_picks
