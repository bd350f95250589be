// The block reader against the reference, formatted extraction from a
// std::istringstream, for every scanning kernel this processor can run: one
// number at a time and in batches, on inputs cut into blocks of every size.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "read/input_reader.h"
#include "support/reference_models.h"

namespace diagonal_picks {

void PrintTo(const ScanKernel& kernel, std::ostream* os) { *os << kernel.name; }

namespace {

using reference::ReadStep;

class Reader : public testing::TestWithParam<ScanKernel> {
 protected:
  static void expect_same_as_stream(const std::string& text) {
    const std::vector<ReadStep> one_at_a_time = reference::read_with_stream(text);
    const std::vector<ReadStep> batched = reference::read_batches_with_stream(text);
    for (const std::size_t chunk : {1U, 2U, 3U, 7U, 64U, 100U, 1U << 20}) {
      ASSERT_EQ(reference::read_with_reader(text, chunk, GetParam()), one_at_a_time)
          << "input \"" << text << "\", chunk " << chunk;
      for (const std::size_t batch : {1U, 5U, 1000U}) {
        ASSERT_EQ(reference::read_batches_with_reader(text, chunk, GetParam(), batch), batched)
            << "input \"" << text << "\", chunk " << chunk << ", batch " << batch;
      }
    }
  }
};

TEST_P(Reader, MatchesStreamOnBoundaries) {
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
      "1 12-5 7",
      "0x1A 5",
      "1.5 2",
      "9223372036854775807 2147483647 -9223372036854775808 -2147483648",
      "9223372036854775808 1",
      "-9223372036854775809 1",
      "1 2147483648",
      "1 -2147483649",
      "1 4294967295 ",
      "1 9999999999 ",
      "1 -0000000001 00000000000 12345678901 ",
      "1 99999999999999999999999",
      "18446744073709551616",
      "1 \xff 2",
      std::string("3\0 4", 4),
      std::string("3 4\0 5", 6),
      "1\r\n2 3\r\n",
  };
  for (const std::string& text : cases) expect_same_as_stream(text);
  expect_same_as_stream(std::string(100000, '0') + "5 " + std::string(100000, ' ') + "6");
  expect_same_as_stream("3 " + std::string(70, '1') + " 2");
}

// Every shape of number at every offset of a 64-byte window, and so across
// every SIMD lane and window boundary.
TEST_P(Reader, MatchesStreamAtEveryOffset) {
  const std::string numbers[] = {"5",          "-5",          "+12",        "123456789",   "-2147483648", "2147483647",
                                 "1234567890", "-0000000009", "2147483648", "12345678901", "9",           "00"};
  for (std::size_t offset = 0; offset < 130; ++offset) {
    std::string text = "7";
    text.append(offset, ' ');
    for (const std::string& number : numbers) text += number + (offset % 3 == 0 ? "\n" : " ");
    expect_same_as_stream(text);
    std::string packed = "99 ";
    for (std::size_t i = 0; i < 40; ++i) packed += numbers[(i + offset) % 3] + std::string(1 + i % 2, ' ');
    expect_same_as_stream(std::string(offset, '\t').append(packed));
  }
}

// Every byte value at every lane of a window, alone and between digits, so
// that no kernel misfiles a byte next to a class boundary ('/' before '0',
// 0x0E after '\r', 0xAD beside '-').
TEST_P(Reader, ClassifiesEveryByteValueInEveryLane) {
  for (unsigned value = 0; value < 256; ++value) {
    const char byte = static_cast<char>(value);
    const std::string alone = std::string(1, byte).append(" 1 ");
    const std::string between_digits = std::string("1").append(1, byte).append("2 3 ");
    for (std::size_t lane = 0; lane < 64; ++lane) {
      for (const std::string& token : {alone, between_digits}) {
        const std::string text = std::string(lane, ' ').append(token);
        ASSERT_EQ(reference::read_with_reader(text, 1U << 20, GetParam()), reference::read_with_stream(text))
            << "byte " << value << " at lane " << lane;
      }
    }
  }
}

// Random streams of tokens and separators, cut at every end position.
TEST_P(Reader, MatchesStreamOnRandomTokenStreams) {
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
    const auto digits = std::uniform_int_distribution<int>(1, random() % 4 == 0 ? 21 : 10)(random);
    for (int i = 0; i < digits; ++i) text += static_cast<char>('0' + random() % 10);
    return text;
  };
  for (int round = 0; round < 600; ++round) {
    std::string text;
    const int tokens = std::uniform_int_distribution<int>(1, round % 10 == 0 ? 40 : 8)(random);
    for (int i = 0; i < tokens; ++i) {
      text += pick(separators);
      text += random() % 8 == 0 ? pick(garbage) : number();
    }
    text += pick(separators);
    // Every end of the short texts; every third of the long ones, which
    // took most of the time under the sanitizers, and the whole text.
    const std::size_t step = round % 10 == 0 ? 3 : 1;
    for (std::size_t end = 0; end < text.size(); end += step) expect_same_as_stream(text.substr(0, end));
    expect_same_as_stream(text);
  }
}

// The scanner alone: it stops before anything that is not a plain number,
// never inside a number, and what it converts is what a stream reads.
TEST_P(Reader, ScannerStopsOnlyBetweenTokens) {
  std::mt19937_64 random(77);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const auto tokens = std::uniform_int_distribution<int>(0, 30)(random);
    for (int i = 0; i < tokens; ++i) {
      text.append(1 + random() % 3, random() % 5 == 0 ? '\n' : ' ');
      if (random() % 7 == 0) text += random() % 2 == 0 ? '-' : '+';
      const auto digits = 1 + random() % (random() % 9 == 0 ? 12 : 10);
      for (std::uint64_t d = 0; d < digits; ++d) text += static_cast<char>('0' + random() % 10);
      if (random() % 40 == 0) text += "x";
    }
    std::vector<char> padded(text.begin(), text.end());
    padded.resize(text.size() + kScanPadding, '7');  // padding that looks like digits
    std::vector<std::int32_t> out(40);
    const std::size_t max_count = random() % 41;
    const ScanResult result = GetParam().scan(padded.data(), padded.data() + text.size(), out.data(), max_count);
    ASSERT_LE(result.count, max_count);
    const auto stopped_at = static_cast<std::size_t>(result.ptr - padded.data());
    ASSERT_LE(stopped_at, text.size());
    if (result.stop == ScanStop::filled) {
      ASSERT_EQ(result.count, max_count);
    }
    // The consumed bytes hold exactly the converted numbers.
    std::istringstream consumed(text.substr(0, stopped_at));
    for (std::size_t i = 0; i < result.count; ++i) {
      std::int32_t value = 0;
      ASSERT_TRUE(consumed >> value) << text;
      ASSERT_EQ(value, out[i]) << text;
    }
    std::string rest;
    ASSERT_FALSE(consumed >> rest) << "unconverted token \"" << rest << "\" in \"" << text << "\"";
    // It stops between tokens: the next byte is not part of a digit run.
    if (stopped_at > 0 && stopped_at < text.size()) {
      const char before = text[stopped_at - 1];
      const char after = text[stopped_at];
      ASSERT_FALSE(before >= '0' && before <= '9' && after >= '0' && after <= '9') << text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKernel, Reader, testing::ValuesIn(supported_scan_kernels()),
                         [](const testing::TestParamInfo<ScanKernel>& kernel) {
                           return std::string(kernel.param.name);
                         });

// A caller that reads raw bytes takes the buffered ones first, then the
// source's; what it puts back is read next, ahead of what is still
// buffered, whatever its size.
TEST(RawReading, TakesBufferedBytesFirstAndReadsWhatIsPutBackFirst) {
  for (const std::size_t put_back : {std::size_t{0}, std::size_t{3}, InputReader::kBlockSize + 5}) {
    const std::string text = "12 34 56 78";
    InputReader input(reference::chunked_source(text, 7));  // "12 34 5", then "6 78"
    std::int64_t first = 0;
    ASSERT_EQ(input.read_int64(first), ReadStatus::ok);
    std::string raw(2, '\0');
    ASSERT_EQ(input.read_raw({raw.data(), raw.size()}), 2U);  // " 3" of the buffered "4 5"
    EXPECT_EQ(raw, " 3");
    std::string rest(100, '\0');
    ASSERT_EQ(input.read_raw({rest.data(), rest.size()}), 3U);
    EXPECT_EQ(rest.substr(0, 3), "4 5");
    ASSERT_EQ(input.read_raw({rest.data(), rest.size()}), 4U);  // the source's next chunk
    EXPECT_EQ(rest.substr(0, 4), "6 78");
    input.put_back({rest.data(), 2});  // "6 "
    const std::string back = "9 " + std::string(put_back, ' ');
    input.put_back({back.data(), back.size()});  // ahead of "6 "
    input.put_back({"-", 1});                    // ahead of both
    std::vector<std::int32_t> values(4);
    EXPECT_EQ(input.read_int32s(values), 2U);
    EXPECT_EQ(values, (std::vector<std::int32_t>{-9, 6, 0, 0}));
    std::string after_end(4, '\0');
    EXPECT_EQ(input.read_raw({after_end.data(), after_end.size()}), 0U);
  }
}

// At first, and after a caller dropped the buffered bytes, the reader asks
// for a small block, then doubling ones up to the usual size, and reads on
// exactly:
// numbers cut by those block ends included. Each block goes where the
// source's bytes lie at the same place within a cache line, before and
// after the caller moved the source on.
TEST(RawReading, AsksForSmallBlocksFirstAndAfterADiscardThenGrowsThem) {
  std::string text;
  for (int value = 0; value < 300000; ++value) text += std::to_string(value * 7 - 1000000) + ' ';
  std::vector<std::size_t> asked;
  std::size_t at = 0;
  InputReader input([&](char* buffer, std::size_t capacity) {
    EXPECT_EQ((reinterpret_cast<std::uintptr_t>(buffer) - at) % ReadBuffer::kLine, 0U) << "at " << at;
    asked.push_back(capacity);
    // A little short of what was asked, as a pipe may give.
    const std::size_t taken = std::min(capacity - 7, text.size() - at);
    std::copy_n(text.data() + at, taken, buffer);
    at += taken;
    return taken;
  });
  std::int64_t value = 0;
  ASSERT_EQ(input.read_int64(value), ReadStatus::ok);
  EXPECT_EQ(asked, (std::vector<std::size_t>{InputReader::kFirstBlock}));
  // The caller moves on by itself, to the start of a number.
  at = text.find(' ', 12345) + 1;
  input.discard_buffered(at);
  const auto first = static_cast<int>((std::stoll(text.substr(at)) + 1000000) / 7);
  std::vector<std::int32_t> values(300000 - static_cast<std::size_t>(first));
  ASSERT_EQ(input.read_int32s(values), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(values[i], (first + static_cast<int>(i)) * 7 - 1000000) << i;
  }
  ASSERT_GE(asked.size(), 4U);
  EXPECT_EQ(asked[1], InputReader::kFirstBlock);
  EXPECT_EQ(asked[2], 2 * InputReader::kFirstBlock);
  EXPECT_EQ(asked.back(), InputReader::kBlockSize);
}

TEST(Dispatch, PortableKernelIsAlwaysThereAndLast) {
  const auto kernels = supported_scan_kernels();
  ASSERT_FALSE(kernels.empty());
  EXPECT_EQ(kernels.back().name, "portable");
  EXPECT_EQ(best_scan_kernel().name, kernels.front().name);
#if defined(__aarch64__)
  // Every aarch64 processor has Advanced SIMD: the NEON kernel must be
  // there, and first, or these tests would silently skip it.
  EXPECT_EQ(kernels.front().name, "neon");
#endif
}

}  // namespace
}  // namespace diagonal_picks
