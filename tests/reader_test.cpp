// The block reader against the reference: formatted extraction from a
// std::istringstream, on random token streams cut into blocks of every size.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "input_reader.h"
#include "support/reference_models.h"

namespace diagonal_picks {
namespace {

using reference::read_with_reader;
using reference::read_with_stream;
using reference::ReadStep;

void expect_same_as_stream(const std::string& text) {
  const std::vector<ReadStep> expected = read_with_stream(text);
  for (std::size_t chunk :
       {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, std::size_t{64}, std::size_t{1} << 20}) {
    ASSERT_EQ(read_with_reader(text, chunk), expected) << "input \"" << text << "\", chunk " << chunk;
  }
}

TEST(Reader, MatchesStreamOnBoundaries) {
  const std::string cases[] = {
      "",
      " \t\n\v\f\r",
      "7",
      "7 ",
      "+7 -7 +-7",
      "- 1",
      "+",
      "-",
      "007 -000 +0",
      "12abc",
      "0x1A 5",
      "1.5 2",
      "9223372036854775807 2147483647 -9223372036854775808 -2147483648",
      "9223372036854775808 1",
      "-9223372036854775809 1",
      "1 2147483648",
      "1 -2147483649",
      "1 99999999999999999999999",
      "18446744073709551616",
      "1 \xff 2",
      std::string("3\0 4", 4),
      "1\r\n2 3\r\n",
  };
  for (const std::string& text : cases) expect_same_as_stream(text);
  expect_same_as_stream(std::string(100000, '0') + "5 " + std::string(100000, ' ') + "6");
}

// Random streams of tokens and separators, cut at every end position.
TEST(Reader, MatchesStreamOnRandomTokenStreams) {
  std::mt19937_64 random(12345);
  const std::vector<std::string> separators = {" ", "\t", "\n", "\v", "\f", "\r", "\r\n", "   ", ""};
  const std::vector<std::string> garbage = {"x",    ".", "+", "-", "--1", "+-2", "0x", "#", std::string(1, '\0'),
                                            "\x80", "e5"};
  const auto pick = [&random](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
  };
  const auto number = [&random] {
    std::string text;
    const auto roll = std::uniform_int_distribution<int>(0, 9)(random);
    if (roll == 0) text += '+';
    if (roll <= 3) text += '-';
    text.append(std::uniform_int_distribution<std::size_t>(0, 2)(random) == 0 ? 3 : 0, '0');
    const auto digits = std::uniform_int_distribution<int>(1, 21)(random);
    for (int i = 0; i < digits; ++i) text += static_cast<char>('0' + random() % 10);
    return text;
  };
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const int tokens = std::uniform_int_distribution<int>(1, 8)(random);
    for (int i = 0; i < tokens; ++i) {
      text += pick(separators);
      text += random() % 8 == 0 ? pick(garbage) : number();
    }
    text += pick(separators);
    for (std::size_t end = 0; end <= text.size(); ++end) expect_same_as_stream(text.substr(0, end));
  }
}

}  // namespace
}  // namespace diagonal_picks
