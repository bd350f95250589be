// Reading a case's points from a regular file or a pipe on several threads:
// every point reaches every owner, in the order the exact reader reads them,
// and the reader goes on exactly where it would have, whatever the shares or
// the writes cut and whatever the input holds.

#include "read/parallel_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "case_loop.h"
#include "diagonal_counter.h"
#include "read/thread_team.h"
#include "support/reference_models.h"
#include "support/split_reading.h"

namespace diagonal_picks {
namespace {

using reference::read_alone;
using reference::read_split;
using reference::read_split_stream;
using reference::RecordingCounter;
using reference::TempFile;

// Whether `cases` are `expected`, every owner seeing all their points, and
// the threads' owners told of a case only when they read all of it.
void expect_cases(const std::vector<RecordingCounter::Case>& cases,
                  const std::vector<RecordingCounter::Case>& expected) {
  ASSERT_EQ(cases.size(), expected.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    EXPECT_EQ(cases[i].owners, expected[i].owners);
    if (cases[i].all_added) {
      EXPECT_EQ(cases[i].on_threads, cases[i].owners[0].size());
    }
  }
}

// The same cases and points as the exact reader for every share size and
// thread count, from a file and from a pipe written in pieces of every
// size; returns the numbers the threads read in the first case from the
// file under the smallest shares.
std::size_t expect_same_as_alone(const std::string& text) {
  const auto expected = read_alone(text);
  const TempFile file(text);
  std::size_t on_threads = 0;
  for (const std::size_t threads : {2U, 3U, 4U, 8U}) {
    for (const std::size_t share_bytes : {1U, 2U, 3U, 5U, 8U, 13U, 21U, 40U, 64U, 100U, 333U}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, shares of " << share_bytes);
      ::lseek(file.fd(), 0, SEEK_SET);
      RecordingCounter counter;
      expect_cases(read_split(file, threads, share_bytes, counter), expected);
      if (threads == 2 && share_bytes == 1 && !counter.cases.empty()) on_threads = counter.cases[0].on_threads;
    }
    for (const std::size_t chunk : {1U, 7U, 64U, 1000U, 1U << 20}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, a pipe written " << chunk << " bytes at a time");
      RecordingCounter counter;
      expect_cases(read_split_stream(text, chunk, threads, chunk % 2 == 0 ? 64 : 5, counter), expected);
    }
  }
  return on_threads;
}

// Numbers of every width and sign, between white space of every kind.
std::string random_points(std::mt19937& random, std::size_t points) {
  static constexpr std::array<std::string_view, 7> kSpaces = {" ", "\n", "\t", "\r\n", "  ", "\v\f ", "   \n  "};
  std::string text;
  for (std::size_t i = 0; i < 2 * points; ++i) {
    std::int64_t value = static_cast<std::int32_t>(random());
    if (random() % 2 == 0) value %= 10;
    if (random() % 3 == 0) value %= 1000;
    if (random() % 7 == 0) value = random() % 2 == 0 ? 2147483647 : -2147483648LL;
    if (value >= 0 && random() % 5 == 0) text += '+';
    text += std::to_string(value);
    text += kSpaces[random() % kSpaces.size()];
  }
  return text;
}

TEST(ParallelReader, ReadsPlainCasesOnTheThreads) {
  std::mt19937 random(7);
  const std::string points = random_points(random, 300);
  // One case, with and without white space at the end of the file.
  EXPECT_GT(expect_same_as_alone("300\n" + points), 0U);
  EXPECT_GT(expect_same_as_alone("300 " + points.substr(0, points.find_last_not_of(" \n\t\r\v\f") + 1)), 0U);
  // Large cases between small ones, and a case that starts right after its
  // count's digits with a sign.
  EXPECT_GT(expect_same_as_alone("150 " + points + "1 5 5 2 1 1 -3 3 150-4 " + points + "0\n2 0 0 1 1\n"), 0U);
  // Shares of nothing but white space.
  std::string spaced = "100\n";
  for (int i = 0; i < 200; ++i) spaced += std::to_string(i * 37 - 2000) + (i % 20 == 0 ? std::string(300, ' ') : "\n");
  EXPECT_GT(expect_same_as_alone(spaced), 0U);
}

TEST(ParallelReader, LeavesWhatIsNotPlainToTheExactReader) {
  std::mt19937 random(11);
  const std::string points = random_points(random, 120);
  // Numbers the exact reader reads that the scanner does not (a value with
  // leading zeros past ten digits), and numbers that end the case early.
  for (const std::string_view odd : {"0000000000012", "12abc", "2147483648", "-2147483649", "+-1", "-", "x",
                                     "99999999999999999999999999999999999999999999999999999999999999999999999"}) {
    // First, second, in the middle and last of the case's numbers.
    for (const std::size_t at : {std::size_t{0}, points.find(' ') + 1, points.find(' ', points.size() / 2) + 1,
                                 points.find_last_not_of(" \n\t\r\v\f") + 2}) {
      SCOPED_TRACE(testing::Message() << "'" << odd << "' at byte " << at);
      const std::string text = "120\n" + points.substr(0, at) + std::string(odd) + " " + points.substr(at);
      expect_same_as_alone(text + "2 1 1 2 2\n");
    }
  }
}

TEST(ParallelReader, StopsWhereTheFileEndsInsideACase) {
  std::mt19937 random(13);
  const std::string points = random_points(random, 100);
  // More points promised than the file holds, ending on white space, on a
  // number, and on an X without its Y.
  expect_same_as_alone("150\n" + points);
  expect_same_as_alone("150\n" + points + "17");
  expect_same_as_alone("150\n" + points + "17 ");
  // A count whose digits end the file is not a case.
  expect_same_as_alone("100\n" + points + "100");
}

// A file and a stream each have their own least case to split.
TEST(ParallelReader, SplitsOnlyLargeCases) {
  std::mt19937 random(17);
  const std::string text = "300\n" + random_points(random, 300);
  const auto expected = read_alone(text);
  for (const std::int64_t min_points : {300, 301}) {
    const std::int64_t min_stream_points = 601 - min_points;
    SCOPED_TRACE(testing::Message() << "split from " << min_points << " points, from a stream " << min_stream_points);
    const auto read = [&](int fd, std::size_t expected_on_threads) {
      RecordingCounter counter;
      InputReader input(file_descriptor_source(fd));
      ParallelReader split(
          fd, {.threads = 2, .share_bytes = 64, .min_points = min_points, .min_stream_points = min_stream_points});
      read_cases(
          input, counter, [](std::string_view) {}, &split);
      EXPECT_EQ(counter.cases.at(0).on_threads, expected_on_threads);
      EXPECT_EQ(counter.cases.at(0).owners, expected.at(0).owners);
    };
    const TempFile file(text);
    read(file.fd(), min_points == 300 ? 600 : 0);
    const reference::FilledPipe pipe(text, 100);
    read(pipe.fd(), min_stream_points == 300 ? 600 : 0);
  }
}

// A line leaves as soon as its case has been read: the threads never wait
// for input the case does not need, though the writer sends the next case
// only once it has the last line.
TEST(ParallelReader, AnswersACaseFromAPipeBeforeTheNextArrives) {
  std::mt19937 random(29);
  const std::string large = "3000\n" + random_points(random, 3000);
  for (const std::string_view end_of_case : {"", "\n"}) {
    std::array<int, 2> ends{};
    ASSERT_EQ(::pipe(ends.data()), 0);
    std::mutex mutex;
    std::condition_variable answered;
    std::size_t lines = 0;
    std::jthread writer([&] {
      for (int i = 0; i < 3; ++i) {
        const std::string text = (i == 0 ? "" : "\n") + large + std::string(end_of_case);
        ASSERT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        std::unique_lock lock(mutex);
        // Without a line in time, the write below frees the reader and the
        // test fails.
        answered.wait_for(lock, std::chrono::seconds(20), [&] { return lines > static_cast<std::size_t>(i); });
        EXPECT_EQ(lines, static_cast<std::size_t>(i + 1)) << "no line for case " << i << " before the next";
      }
      ::close(ends[1]);
    });
    RecordingCounter counter;
    InputReader input(file_descriptor_source(ends[0]));
    ParallelReader split(ends[0], {.threads = 2, .share_bytes = 4096, .min_points = 1, .min_stream_points = 1});
    read_cases(
        input, counter,
        [&](std::string_view) {
          const std::lock_guard lock(mutex);
          ++lines;
          answered.notify_all();
        },
        &split);
    writer.join();
    ::close(ends[0]);
    ASSERT_EQ(counter.cases.size(), 3U);
    for (const auto& one_case : counter.cases) EXPECT_EQ(one_case.owners, read_alone(large).at(0).owners);
    // The case's last number, with no white space after it, waits for the
    // next byte, as the exact reader does; the rest is read by the threads.
    EXPECT_GE(counter.cases[1].on_threads, 5990U);
  }
}

TEST(ParallelReader, SurvivesAFileThatChangesSizeWhileItIsRead) {
  std::mt19937 random(19);
  const std::string points = random_points(random, 2000);
  const std::string text = "4000\n" + points;
  const auto whole = read_alone(text + points);
  {
    // Grown: the points added after the threads began are read too.
    const TempFile file(text);
    RecordingCounter counter;
    std::once_flag grown;
    counter.on_add = [&] { std::call_once(grown, [&] { file.append(points); }); };
    const auto cases = read_split(file, 2, 256, counter);
    ASSERT_EQ(cases.size(), 1U);
    EXPECT_GT(cases[0].on_threads, 0U);
    EXPECT_EQ(cases[0].owners, whole.at(0).owners);
  }
  // Shrunk, between two numbers: a prefix of the points, at least those
  // still in the file, and no crash or hang.
  const std::size_t cut = text.find(' ', text.size() / 2) + 1;
  const TempFile file(text);
  RecordingCounter counter;
  std::once_flag shrunk;
  counter.on_add = [&] { std::call_once(shrunk, [&] { file.truncate(static_cast<off_t>(cut)); }); };
  const auto cases = read_split(file, 2, 256, counter);
  ASSERT_EQ(cases.size(), 1U);
  const auto all = read_alone(text).at(0).owners[0];
  const auto kept = read_alone(text.substr(0, cut)).at(0).owners[0];
  for (const auto& owner : cases[0].owners) {
    EXPECT_GE(owner.size(), kept.size());
    ASSERT_LE(owner.size(), all.size());
    EXPECT_TRUE(std::equal(owner.begin(), owner.end(), all.begin()));
  }
}

// The program's own counter, with its threads, against the exact reader,
// from a file and from a pipe, whatever CPUs it may use: in shares of 4 KiB,
// and in the program's own, smaller for the smaller cases. Past a point,
// more CPUs bring no more threads, whose shares would only cost memory.
TEST(ParallelReader, CountsAsTheProgramDoesAlone) {
  std::mt19937 random(23);
  std::string text;
  for (const std::size_t points : {100000U, 3U, 70000U, 0U, 5000U, 20000U, 90000U}) {
    text += std::to_string(points) + "\n";
    for (std::size_t i = 0; i < points; ++i) {
      text += std::to_string(static_cast<std::int32_t>(random() % 2000) - 1000) + " " +
              std::to_string(static_cast<std::int32_t>(random())) + "\n";
    }
  }
  std::string expected;
  InputReader alone(reference::chunked_source(text, 1 << 16));
  run_cases(alone, [&expected](std::string_view line) { expected += line; });
  EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 7);
  const TempFile file(text);
  for (const ParallelReader::Options& options :
       {ParallelReader::Options{.share_bytes = 4096}, ParallelReader::Options{}}) {
    for (const unsigned cpus : {1U, 2U, 4U, 8U, 64U}) {
      const auto output_of = [&](int fd) {
        std::string output;
        InputReader input(file_descriptor_source(fd));
        DiagonalCounter counter;
        ParallelReader::Options with_cpus = options;
        with_cpus.threads = cpus;
        ParallelReader split(fd, with_cpus);
        EXPECT_EQ(split.threads(), std::min<std::size_t>(cpus, ParallelReader::kMostThreads));
        read_cases(
            input, counter, [&output](std::string_view line) { output += line; }, &split);
        return output;
      };
      SCOPED_TRACE(testing::Message() << cpus << " CPUs, shares of up to " << options.share_bytes << " bytes");
      ::lseek(file.fd(), 0, SEEK_SET);
      EXPECT_EQ(output_of(file.fd()), expected) << "from a file";
      const reference::FilledPipe pipe(text, 1 << 16);
      EXPECT_EQ(output_of(pipe.fd()), expected) << "from a pipe";
    }
  }
}

TEST(ThreadTeam, RunsTheWorkOnEveryThreadEachTime) {
  for (const std::size_t threads : {1U, 2U, 5U}) {
    ThreadTeam team(threads);
    std::vector<int> runs(threads);
    for (int run = 0; run < 50; ++run) team.run([&runs](std::size_t thread) { ++runs[thread]; });
    EXPECT_EQ(runs, std::vector<int>(threads, 50));
  }
  const ThreadTeam unused(3);  // leaves without a run
}

}  // namespace
}  // namespace diagonal_picks
