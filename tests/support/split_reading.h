// Reading on several threads, for the tests and the fuzzers: a file that
// holds a given text, a pipe that a thread fills with it, and a counter that
// records which points each owner was handed, to compare with the exact
// reader's.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "case_loop.h"
#include "read/parallel_reader.h"
#include "support/reference_models.h"

namespace diagonal_picks::reference {

// A file in the temporary folder holding `text`, read from its start.
class TempFile {
 public:
  explicit TempFile(std::string_view text) {
    const char* folder = std::getenv("TMPDIR");
    std::string name = std::string(folder != nullptr ? folder : "/tmp") + "/diagonal-picks-test-XXXXXX";
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) std::abort();
    ::unlink(name.c_str());
    append(text);
    ::lseek(fd_, 0, SEEK_SET);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  TempFile(TempFile&&) = delete;
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile() { ::close(fd_); }

  int fd() const { return fd_; }
  void append(std::string_view text) const {
    const off_t end = ::lseek(fd_, 0, SEEK_END);
    if (::pwrite(fd_, text.data(), text.size(), end) != static_cast<ssize_t>(text.size())) std::abort();
  }
  void truncate(off_t size) const {
    if (::ftruncate(fd_, size) != 0) std::abort();
  }

 private:
  int fd_ = -1;
};

// Records, for each case, the points each owner was handed, in order; the
// points read by the caller alone go to both.
class RecordingCounter final : public PointSink {
 public:
  struct Case {
    std::array<std::vector<std::int32_t>, 2> owners;
    std::size_t on_threads = 0;  // numbers handed to owner 0 by the threads
    bool all_added = false;      // both owners were told the case was read
  };

  void add(std::span<const std::int32_t> coordinates) {
    for (auto& owner : current_.owners) owner.insert(owner.end(), coordinates.begin(), coordinates.end());
  }
  void add(std::size_t owner, std::span<const std::int32_t> coordinates) override {
    auto& values = current_.owners.at(owner);
    values.insert(values.end(), coordinates.begin(), coordinates.end());
    if (owner == 0) current_.on_threads += coordinates.size();
    if (on_add) on_add();
  }
  // Each owner writes its own flag, on its own thread.
  void all_added(std::size_t owner) override { all_added_.at(owner) = true; }
  double finish(std::int64_t /*N*/) {
    current_.all_added = all_added_[0] && all_added_[1];
    cases.push_back(std::exchange(current_, {}));
    all_added_ = {};
    return 0.0;
  }

  std::vector<Case> cases;
  std::function<void()> on_add;  // called from the threads too

 private:
  Case current_;
  std::array<bool, 2> all_added_{};
};

// The same cases, each with the same points for every owner.
inline bool same_points(const std::vector<RecordingCounter::Case>& a, const std::vector<RecordingCounter::Case>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const auto& x, const auto& y) { return x.owners == y.owners; });
}

inline std::vector<RecordingCounter::Case> read_alone(std::string_view text) {
  InputReader input(chunked_source(text, 4096));
  RecordingCounter counter;
  read_cases(input, counter, [](std::string_view) {});
  return counter.cases;
}

// Reads every case from `fd` with a team of `threads`.
inline std::vector<RecordingCounter::Case> read_split_from(int fd, std::size_t threads, std::size_t share_bytes,
                                                           RecordingCounter& counter) {
  InputReader input(file_descriptor_source(fd));
  ParallelReader split(fd, {.threads = threads, .share_bytes = share_bytes, .min_points = 1, .min_stream_points = 1});
  read_cases(
      input, counter, [](std::string_view) {}, &split);
  return counter.cases;
}

inline std::vector<RecordingCounter::Case> read_split(const TempFile& file, std::size_t threads,
                                                      std::size_t share_bytes, RecordingCounter& counter) {
  return read_split_from(file.fd(), threads, share_bytes, counter);
}

// The read end of a pipe that a thread fills with `text`, `chunk` bytes per
// write(2), and closes.
class FilledPipe {
 public:
  FilledPipe(std::string_view text, std::size_t chunk) {
    std::array<int, 2> ends{};
    if (::pipe(ends.data()) != 0) std::abort();
    read_end_ = ends[0];
    writer_ = std::jthread([text, chunk, write_end = ends[1]] {
      for (std::size_t at = 0; at < text.size();) {
        const ssize_t wrote = ::write(write_end, text.data() + at, std::min(chunk, text.size() - at));
        if (wrote <= 0) break;
        at += static_cast<std::size_t>(wrote);
      }
      ::close(write_end);
    });
  }
  FilledPipe(const FilledPipe&) = delete;
  FilledPipe& operator=(const FilledPipe&) = delete;
  FilledPipe(FilledPipe&&) = delete;
  FilledPipe& operator=(FilledPipe&&) = delete;
  ~FilledPipe() {
    // What the reader left (after a count it could not read) frees the
    // writer to finish.
    std::array<char, 4096> rest{};
    while (::read(read_end_, rest.data(), rest.size()) > 0) {
    }
    writer_.join();
    ::close(read_end_);
  }

  int fd() const { return read_end_; }

 private:
  int read_end_ = -1;
  std::jthread writer_;
};

inline std::vector<RecordingCounter::Case> read_split_stream(std::string_view text, std::size_t chunk,
                                                             std::size_t threads, std::size_t share_bytes,
                                                             RecordingCounter& counter) {
  const FilledPipe pipe(text, chunk);
  return read_split_from(pipe.fd(), threads, share_bytes, counter);
}

}  // namespace diagonal_picks::reference
