// Whole-run fuzz target: arbitrary bytes through the case loop and the
// output format. The first byte picks the reader's block size, so that
// numbers straddle block boundaries in every way, and its scanning kernel.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "case_loop.h"
#include "support/reference_models.h"

namespace {

// Every line is a ratio in fixed notation with ten decimals, or a NaN, or
// (for counts whose square wraps around to 0) an infinity.
bool is_ratio_line(std::string_view line) {
  if (!line.empty() && line.front() == '-') line.remove_prefix(1);
  if (line == "nan" || line == "inf") return true;
  const std::size_t point = line.find('.');
  if (point == 0 || point == std::string_view::npos || line.size() - point - 1 != 10) return false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (i != point && (line[i] < '0' || line[i] > '9')) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk_size = 1 + data[0] % 32;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto kernels = diagonal_picks::supported_scan_kernels();
  diagonal_picks::InputReader reader(diagonal_picks::reference::chunked_source(input, chunk_size),
                                     kernels[data[0] / 32 % kernels.size()]);
  std::string text;
  diagonal_picks::run_cases(reader, [&text](std::string_view line) { text += line; });

  std::string_view output = text;
  while (!output.empty()) {
    const std::size_t end = output.find('\n');
    if (end == std::string_view::npos || !is_ratio_line(output.substr(0, end))) std::abort();
    output.remove_prefix(end + 1);
  }
  return 0;
}
