#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// The reader as it was before the SIMD scanner: one byte at a time through
// branches, kept for the benchmark's scalar floor.
namespace diagonal_picks::scalar {

// Outcome of one integer read, in the terms of formatted stream extraction.
enum class ReadStatus {
  ok,         // a number was read and more input may follow
  ok_at_end,  // a number was read and its digits ran to the end of the input
  failed,     // no number: end of input, a bad token, a value out of range,
              // or an earlier read already failed or reached the end
};

// Reads white-space-separated decimal integers from a file descriptor, in
// large blocks, exactly as `std::cin >> value` would in the
// classic locale: skip the six ASCII white-space characters, take an optional
// + or -, then the longest run of digits. A failure or the end of input is
// sticky, like a stream's failbit and eofbit: every later read fails.
class ScalarReader {
 public:
  // Reads the open descriptor `fd` (not closed here). A read error counts as
  // the end of input, as it does for a stream.
  explicit ScalarReader(int fd);

  ReadStatus read_int64(std::int64_t& value);
  ReadStatus read_int32(std::int32_t& value);

 private:
  // Reads one integer whose magnitude may be up to `max_positive` (or one
  // more when negative); `magnitude` and `negative` describe it on success.
  ReadStatus read_integer(std::uint64_t max_positive, std::uint64_t& magnitude, bool& negative);
  bool skip_white_space();
  bool refill();

  static constexpr std::size_t kBlockSize = std::size_t{1} << 16;
  // Room for the terminating sentinel and for word-sized loads near the end.
  static constexpr std::size_t kPadding = 16;

  std::unique_ptr<char[]> buffer_;
  const char* pos_;
  const char* end_;
  int fd_ = -1;
  bool source_exhausted_ = false;
  bool stream_ended_ = false;  // eofbit: the input ended during some read
  bool failed_ = false;        // failbit
};

}  // namespace diagonal_picks::scalar
