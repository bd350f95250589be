#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "page_array.h"
#include "read/input_reader.h"
#include "read/read_buffer.h"
#include "read/scan.h"
#include "read/thread_team.h"

namespace diagonal_picks {

// What the threads of a ParallelReader do with the points they read.
// Each of its `owners` sees every point, X, Y, X, Y, ..., in any order and
// on one thread at a time, and does its own part of the work with them.
class PointSink {
 public:
  virtual ~PointSink() = default;
  virtual void add(std::size_t owner, std::span<const std::int32_t> coordinates) = 0;
  // Every point of the case has been added, on the threads: the owner may
  // finish its part on its own thread too.
  virtual void all_added(std::size_t owner) = 0;

 protected:
  PointSink() = default;
  PointSink(const PointSink&) = default;
  PointSink& operator=(const PointSink&) = default;
  PointSink(PointSink&&) = default;
  PointSink& operator=(PointSink&&) = default;
};

// Reads the points of one large case on several CPUs at once, with the same
// result as the InputReader reading them one by one.
//
// The case's bytes are cut into shares, each converted with the scanning
// kernel into a slot of a ring by whichever thread takes it. From a regular
// file, each thread takes the next share by its place in the file and reads
// it with pread(2); a share starts just after the first white space at or
// after its nominal start, so no number is cut. From anything else (a pipe,
// a terminal), the caller's thread reads the bytes in order and cuts each
// share after its last white space; it waits for input only when every
// share read so far has been counted and the case needs more, so a line
// still leaves as soon as its case is read. Each owner walks the converted
// shares in order, so it knows which numbers are X and which Y and where
// the case ends, and hands the points to the sink. No thread waits for
// another unless the ring is full or its next share is still being read or
// converted, and then each reads, converts or counts what it can.
//
// Whatever the threads cannot be sure of leaves the rest of the case to the
// exact reader: a token that is not plain, the end of the input inside the
// case, a file that shrinks. Bytes read from a stream and not used are
// handed back to the InputReader.
class ParallelReader {
 public:
  // Threads at most, however many CPUs the process may use. Each direction
  // is counted on one thread, its owner's, so a case goes no faster than
  // its slower owner counts, however many threads convert. By the rates of
  // this machine's two CPUs (a thread converts 0.9 to 2.3 GB of text a
  // second; an owner counts W's keys at about 4 GB of text a second and
  // D's at about 15), that bound is reached at about 4 threads for W and 16
  // for D. Each thread beyond costs 1.25 MiB of shares, for no speed.
  static constexpr std::size_t kMostThreads = 16;

  struct Options {
    std::size_t threads = 2;  // at most kMostThreads are used
    std::size_t owners = 2;   // at most `threads`
    // Bytes per share at most: small enough that a share stays in cache
    // between its conversion and its counting, and that the threads share
    // the work evenly; large enough that its pread(2) costs little beside
    // its bytes (with two CPUs, D took 0.051 s against 0.056 with 64 KiB,
    // W 0.114 against 0.121; 512 KiB gained nothing more). A stream takes
    // at most 64 KiB, and a small case smaller shares, so that each thread
    // gets some.
    std::size_t share_bytes = std::size_t{256} << 10;
    // Cases with fewer points from a file, or with fewer bytes left in it
    // than a share per thread, are read by the caller alone; and from a
    // stream, whose bytes the caller reads and copies for the threads, cases
    // with fewer than min_stream_points.
    std::int64_t min_points = std::int64_t{1} << 12;
    std::int64_t min_stream_points = std::int64_t{1} << 14;
  };

  // `fd` is the descriptor the InputReader reads, which must not be
  // closed before this.
  ParallelReader(int fd, const Options& options, const ScanKernel& kernel = best_scan_kernel());

  // The threads that read a split case.
  std::size_t threads() const { return options_.threads; }

  // Whether a case of N points is large enough to split, if the input is.
  bool worth_splitting(std::int64_t N) const {
    return usable_ && N >= (stream_ ? options_.min_stream_points : options_.min_points);
  }

  // Reads up to `N` points of the case whose count `input` has just read,
  // hands them to `sink`, leaves `input` where the sequential reader would
  // be after them, and returns how many were read: 0 when the case is not
  // split, fewer than N when the rest is left to the caller.
  std::int64_t read_points(InputReader& input, std::int64_t N, PointSink& sink);

 private:
  // How far past a nominal share boundary to look for white space. A plain
  // number is at most 11 bytes, so a run of non-space this long is not one,
  // and the exact reader takes over there.
  static constexpr std::size_t kBoundarySearch = 64;
  // Shares for a small case: two per thread at this many bytes per point
  // (two numbers of up to three digits), and at least kLeastShareBytes.
  static constexpr std::size_t kSmallPointBytes = 8;
  static constexpr std::size_t kLeastShareBytes = 4096;

  // A converted share.
  struct Share {
    std::uint64_t begin = 0;  // its bytes in the file or stream, between the boundaries
    std::uint64_t end = 0;
    std::uint64_t stop = 0;  // where the conversion stopped
    std::size_t tokens = 0;  // plain numbers converted from `begin` on
    bool whole = false;      // every number in [begin, end) is plain, and converted
  };
  struct Slot {
    std::int32_t* values = nullptr;  // value_capacity() of values_
    std::unique_ptr<char[]> bytes;   // from a stream: the share's bytes, from `begin` on
    Share share;
    std::atomic<std::uint64_t> holds{0};  // 1 + the index of the share converted into it
  };
  // What an owner knows as it walks the shares.
  struct Walk {
    std::uint64_t next = 0;    // the next share to count
    std::uint64_t tokens = 0;  // numbers of the case counted
    // Where the exact reader would be: after the last share counted, or
    // where the walk ended.
    std::uint64_t position = 0;
    std::optional<std::int32_t> carry;  // an X whose Y is in a later share
    bool done = false;
  };

  // Bytes per share for a case of N points: options_.share_bytes, or less
  // for a case that would not give each thread a few shares.
  std::size_t share_bytes_for(std::int64_t N) const;
  bool start_team();
  void work(std::size_t thread);
  // From a stream, on the caller's thread: reads the next share's bytes
  // when a slot is free for them; says whether it read any.
  bool read_share(const Walk& walk);
  void publish_share(std::size_t size);
  // Whether the share may be converted now.
  bool ready_to_convert(std::uint64_t index) const;
  void convert(std::size_t thread, std::uint64_t index);
  // Counts the shares that are ready, in order; says whether there were any.
  bool count_ready(std::size_t owner, Walk& walk);
  void count_share(std::size_t owner, Walk& walk, const Slot& slot);
  void end_walk(Walk& walk, std::uint64_t position);
  // The offset, in the file or stream, just past the share's `count`-th
  // number.
  std::uint64_t end_of_number(const Slot& slot, std::size_t count);
  // From a stream: gives the input the bytes read from `position` on.
  void put_back_unused(InputReader& input, std::uint64_t position) const;
  bool slot_free(std::uint64_t index) const;
  // Whether the case may need the next share: the shares before it hold,
  // at the numbers per share converted so far, fewer numbers than the case
  // needs. Exact once all of them are converted, so a needed share is
  // always claimed in the end.
  bool may_need_next_share() const;
  std::size_t value_capacity() const;
  // From a file: asks the kernel to read ahead of share `index`.
  void advise_read_ahead(std::uint64_t index, std::uint64_t nominal_begin) const;
  void announce();
  // Makes share `index`, just converted in `slot`, visible to its counters.
  void publish(Slot& slot, std::uint64_t index);

  int fd_;
  Options options_;
  ScanFunction scan_;
  bool usable_ = false;               // a descriptor, CPUs and threads to split it
  bool stream_ = false;               // not a regular file
  std::unique_ptr<ThreadTeam> team_;  // started at the first split case
  std::vector<ReadBuffer> bytes_;     // from a file: one share's bytes per thread
  std::unique_ptr<Slot[]> slots_;
  // The slots' values, in one array of huge pages: in small pages, their
  // first use cost a fault per 4 KiB, some 450 of them for D, up to 10 us
  // each on a virtual machine.
  PageArray<std::int32_t> values_;
  std::size_t slot_count_ = 0;

  // The case, set before the threads run.
  std::size_t share_bytes_ = 0;
  std::uint64_t begin_ = 0;
  std::uint64_t file_end_ = 0;
  std::uint64_t tokens_wanted_ = 0;
  PointSink* sink_ = nullptr;
  // A stream's reading, on the caller's thread.
  InputReader* input_ = nullptr;
  std::uint64_t stream_read_ = 0;             // bytes of the case read into shares
  std::array<char, kBoundarySearch> tail_{};  // bytes after the last share's last white space
  std::size_t tail_size_ = 0;
  bool reading_over_ = false;
  // Shared while they run.
  std::atomic<std::uint64_t> share_count_{0};              // shares of the input, once known
  std::atomic<std::uint64_t> filled_{0};                   // shares read from a stream
  std::atomic<std::uint64_t> next_share_{0};               // the next share to convert
  std::atomic<std::uint64_t> converted_shares_{0};         // shares converted so far
  std::atomic<std::uint64_t> converted_tokens_{0};         // the numbers they hold
  std::unique_ptr<std::atomic<std::uint64_t>[]> counted_;  // shares each owner counted
  std::atomic<std::uint64_t> needed_{0};                   // shares the owners need, once known
  std::atomic<std::uint32_t> events_{0};                   // bumped at every change; idle threads wait on it
  // Owner 0's walk, the caller's once they have run.
  Walk outcome_;
};

}  // namespace diagonal_picks
