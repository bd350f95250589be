// The case loop and both text formats, in process: input bytes in, output
// bytes out, with the input cut into blocks of several sizes.

#include "case_loop.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support/reference_models.h"

namespace diagonal_picks {
namespace {

std::string run(const std::string& input, std::size_t chunk_size, const ScanKernel& kernel) {
  InputReader reader(reference::chunked_source(input, chunk_size), kernel);
  std::string output;
  run_cases(reader, [&output](std::string_view line) { output += line; });
  return output;
}

// The escapes that printf understands and the golden file uses.
std::string unescape(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      bytes += text[i];
      continue;
    }
    switch (text[++i]) {
      case 'n':
        bytes += '\n';
        break;
      case 't':
        bytes += '\t';
        break;
      case 'r':
        bytes += '\r';
        break;
      case 'v':
        bytes += '\v';
        break;
      case 'f':
        bytes += '\f';
        break;
      case '0':
        bytes += '\0';
        break;
      default:
        bytes += text[i];
    }
  }
  return bytes;
}

struct Golden {
  std::string input;
  std::string output;
};

std::vector<Golden> read_golden_cases() {
  std::ifstream file(DIAGONAL_PICKS_GOLDEN_CASES);
  std::vector<Golden> cases;
  for (std::string line; std::getline(file, line);) {
    if (line.starts_with('#')) continue;
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    cases.push_back(
        {unescape(std::string_view(line).substr(0, tab)), unescape(std::string_view(line).substr(tab + 1))});
  }
  return cases;
}

TEST(CaseLoop, GoldenCases) {
  const std::vector<Golden> cases = read_golden_cases();
  ASSERT_GT(cases.size(), 30U);
  for (const Golden& golden : cases) {
    for (const ScanKernel& kernel : supported_scan_kernels()) {
      for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{1} << 20}) {
        EXPECT_EQ(run(golden.input, chunk, kernel), golden.output)
            << "input \"" << golden.input << "\", chunk " << chunk << ", kernel " << kernel.name;
      }
    }
  }
}

// Every NaN prints as -nan, whatever its sign bit, so that the bytes are the
// same on every processor.
TEST(CaseLoop, EveryNanPrintsTheSame) {
  char line[kMaxLineLength];
  for (const double nan : {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_EQ(std::string(line, format_ratio_line(nan, line)), "-nan\n");
  }
}

// Every finite ratio line has ten decimals, rounded to nearest like printf.
TEST(CaseLoop, FormatMatchesPrintf) {
  std::mt19937_64 random(3);
  for (int i = 0; i < 100000; ++i) {
    const auto numerator = static_cast<double>(random() % 5000000);
    const auto denominator = static_cast<double>(random() % 2000000 + 1);
    const double value = i % 2 == 0 ? numerator / denominator : numerator / (denominator * denominator);
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.10f\n", value);
    char line[kMaxLineLength];
    ASSERT_EQ(std::string(line, format_ratio_line(value, line)), expected);
  }
}

}  // namespace
}  // namespace diagonal_picks
