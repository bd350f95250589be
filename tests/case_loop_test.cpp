// The case loop and both text formats, in process: input bytes in, output
// bytes out, with the input cut into blocks of several sizes.

#include "case_loop.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "support/reference_models.h"

namespace diagonal_picks {
namespace {

std::string run(const std::string& input, std::size_t chunk_size, const ScanKernel& kernel) {
  InputReader reader(reference::chunked_source(input, chunk_size), kernel);
  std::string output;
  run_cases(reader, [&output](std::string_view line) { output += line; });
  return output;
}

struct Golden {
  std::string input;
  std::string output;
};

TEST(CaseLoop, GoldenCases) {
  const Golden cases[] = {
      {"", ""},
      {" \t\n\v\f\r", ""},
      {"2 0 0 1 1", "0.5000000000\n"},
      {"2\n0 0\n1 1\n", "0.5000000000\n"},
      {"1\n5 5\n2\n0 0\n0 0\n", "0.0000000000\n1.0000000000\n"},
      {"3 0 0 0 0 0 0\n", "1.3333333333\n"},
      {"3 0 2 1 1 2 0", "0.6666666667\n"},
      {"0\n", "-nan\n"},
      {"0", ""},  // a count that ends the input is not a case
      {"1 5 5\n7", "0.0000000000\n"},
      {"-3\n1\n5 5\n", "0.6666666667\n0.0000000000\n"},
      {"-1 ", "2.0000000000\n"},
      {"+2\r\n+0 -0\r\n+1 +1\r\n", "0.5000000000\n"},
      {"0002 000 0 01 001", "0.5000000000\n"},
      {"x", ""},
      {"9223372036854775808 1 1", ""},  // a count beyond 64 bits ends the run
      {"2 0 0 1 1 abc", "0.5000000000\n"},
      // Points cut short: the line comes from the points read, then the run ends.
      {"12abc 1 1", "-0.1666666667\n"},
      {"3 0 0 0 0", "0.2222222222\n"},
      {"3 0 0 0 0 7", "0.2222222222\n"},
      {"3 0 0 0 0 7 2147483648 2 0 0 1 1", "0.2222222222\n"},
      // N * N wraps around; the point index does not.
      {"1000000000000000000 1 1", "0.3618501904\n"},
      {"3000000000 0 0 0 0 0 0\n", "-0.0000000007\n"},
  };
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
