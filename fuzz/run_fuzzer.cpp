// Whole-run fuzz target: arbitrary bytes through the case loop and the
// output format. The first byte picks the reader's block size, so that
// numbers straddle block boundaries in every way.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "case_loop.h"

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
  diagonal_picks::InputReader reader(input, chunk_size);
  diagonal_picks::StringLineSink sink;
  diagonal_picks::run_cases(reader, sink);

  std::string_view output = sink.text;
  while (!output.empty()) {
    const std::size_t end = output.find('\n');
    if (end == std::string_view::npos || !is_ratio_line(output.substr(0, end))) std::abort();
    output.remove_prefix(end + 1);
  }
  return 0;
}
