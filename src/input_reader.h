#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace diagonal_picks {

// Outcome of one integer read, in the terms of formatted stream extraction.
enum class ReadStatus {
  ok,         // a number was read and more input may follow
  ok_at_end,  // a number was read and its digits ran to the end of the input
  failed,     // no number: end of input, a bad token, a value out of range,
              // or an earlier read already failed or reached the end
};

// Reads white-space-separated decimal integers from a file descriptor or a
// byte string, in large blocks, exactly as `std::cin >> value` would in the
// classic locale: skip the six ASCII white-space characters, take an optional
// + or -, then the longest run of digits. A failure or the end of input is
// sticky, like a stream's failbit and eofbit: every later read fails.
class InputReader {
 public:
  // Reads the open descriptor `fd` (not closed here). A read error counts as
  // the end of input, as it does for a stream.
  explicit InputReader(int fd);
  // Serves `bytes` (which must outlive the reader) at most `chunk_size` bytes
  // per refill, so tests can place block boundaries anywhere.
  InputReader(std::string_view bytes, std::size_t chunk_size);

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

  std::size_t chunk_size_;  // bytes per refill; declared first, as it sizes the buffer
  std::unique_ptr<char[]> buffer_;
  const char* pos_;
  const char* end_;
  int fd_ = -1;
  std::string_view source_;  // remaining bytes in memory mode
  bool source_exhausted_ = false;
  bool stream_ended_ = false;  // eofbit: the input ended during some read
  bool failed_ = false;        // failbit
};

}  // namespace diagonal_picks
