#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "read/read_buffer.h"
#include "read/scan.h"

namespace diagonal_picks {

// Fills up to `capacity` bytes at `buffer` and returns how many it wrote; 0
// means the input has ended (a read error counts as the end, as it does for
// a stream). It may return fewer bytes than asked for, down to one.
using ByteSource = std::function<std::size_t(char* buffer, std::size_t capacity)>;

// Reads the open descriptor `fd` (not closed here) with read(2).
ByteSource file_descriptor_source(int fd);

// Where `fd` is a pipe, asks Linux to let it hold `bytes` (F_SETPIPE_SZ),
// so that a writer fills it in fewer, larger steps and each read(2) takes
// more; elsewhere, or when refused, does nothing.
void enlarge_pipe(int fd, std::size_t bytes);

// Outcome of one integer read, in the terms of formatted stream extraction.
enum class ReadStatus {
  ok,         // a number was read and more input may follow
  ok_at_end,  // a number was read and its digits ran to the end of the input
  failed,     // no number: end of input, a bad token, a value out of range,
              // or an earlier read already failed or reached the end
};

// Reads white-space-separated decimal integers exactly as `std::cin >> value`
// does in the classic locale: skip the six ASCII white-space characters, take
// an optional + or -, then the longest run of digits; a value out of range
// fails once all its digits are consumed. A failure or the end of input is
// sticky, like a stream's failbit and eofbit: every later read fails. The
// source is asked for more bytes only when a read cannot finish without them.
class InputReader {
 public:
  // Bytes asked of the source at a time: a whole enlarged pipe in one
  // read(2). Each page of the buffer costs a fault when first written, up
  // to 10 us on a virtual machine: D with one CPU took 0.0858 s against
  // 0.0891 with blocks of 1 MiB, EQ 0.0553 against 0.0582 (9 interleaved
  // runs); reading a file took as long.
  static constexpr std::size_t kBlockSize = std::size_t{1} << 18;
  // Asked for first, and after a discard; doubled at each refill. The
  // first read of a file holds little more than its first case's count
  // when the parallel reader then reads that case itself: 64 pages of a
  // whole block, each a fault, would be written for nothing.
  static constexpr std::size_t kFirstBlock = std::size_t{4} << 10;

  // `kernel` picks the scanner; tests pass each supported one in turn.
  explicit InputReader(ByteSource source, const ScanKernel& kernel = best_scan_kernel());

  ReadStatus read_int64(std::int64_t& value);
  ReadStatus read_int32(std::int32_t& value);

  // Reads up to `values.size()` 32-bit integers and returns how many were
  // read: all of them, or fewer when a read fails. Plain numbers go through
  // the SIMD scanner, everything else through read_int32.
  std::size_t read_int32s(std::span<std::int32_t> values);

  // Bytes taken from the source and not yet read.
  std::size_t buffered() const { return static_cast<std::size_t>(end_ - pos_); }
  // Drops them, for a caller that moved the source on by itself, to
  // `source_offset` bytes from its start: the next read asks the source
  // again, for a small block first, since such a caller may soon move it
  // on again.
  void discard_buffered(std::uint64_t source_offset) {
    pos_ = end_;
    next_block_ = kFirstBlock;
    source_offset_ = source_offset;
  }

  // For a caller that reads raw bytes itself: moves up to `to.size()` bytes
  // to `to`, buffered ones first, else from one call to the source, which
  // may wait for them. 0 once the input has ended.
  std::size_t read_raw(std::span<char> to);
  // Makes `bytes` the next to be read, ahead of anything buffered: what a
  // raw reader took and did not use.
  void put_back(std::span<const char> bytes);

 private:
  // Reads one integer whose magnitude may be up to `max_positive` (or one
  // more when negative); `magnitude` and `negative` describe it on success.
  ReadStatus read_integer(std::uint64_t max_positive, std::uint64_t& magnitude, bool& negative);
  bool skip_white_space();
  bool refill();

  ByteSource source_;
  ScanFunction scan_;
  ReadBuffer buffer_;  // capacity_ bytes, a sentinel and the scanner's padding
  std::size_t capacity_ = kBlockSize;
  // The source's offset, from its start, of the next byte it gives (as if
  // it started at a cache line's start): where in a line its bytes go.
  std::uint64_t source_offset_ = 0;
  std::size_t next_block_ = kFirstBlock;  // asked of the source at the next refill; doubles up to kBlockSize
  const char* pos_;
  const char* end_;
  bool source_exhausted_ = false;
  bool stream_ended_ = false;  // eofbit: the input ended during some read
  bool failed_ = false;        // failbit
};

}  // namespace diagonal_picks
