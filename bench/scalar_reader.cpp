#include "scalar_reader.h"

#include <unistd.h>

#include <cerrno>
#include <limits>

namespace diagonal_picks::scalar {
namespace {

// The classic locale's white space: space, \t, \n, \v, \f, \r.
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr unsigned digit_value(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0'; }

// Past this magnitude one more digit could leave the 64-bit range.
constexpr std::uint64_t kLastSafeMagnitude = (std::numeric_limits<std::uint64_t>::max() - 9) / 10;

}  // namespace

ScalarReader::ScalarReader(int fd)
    : buffer_(new char[kBlockSize + kPadding]), pos_(buffer_.get()), end_(buffer_.get()), fd_(fd) {
  buffer_[0] = '\0';  // the sentinel of the empty buffer
}

// Called only when every buffered byte has been consumed.
bool ScalarReader::refill() {
  if (source_exhausted_) return false;
  std::size_t count = 0;
  for (;;) {
    const ssize_t got = ::read(fd_, buffer_.get(), kBlockSize);
    if (got < 0 && errno == EINTR) continue;
    count = got > 0 ? static_cast<std::size_t>(got) : 0;
    break;
  }
  if (count == 0) {
    source_exhausted_ = true;  // a terminal may deliver more after an end of file; a stream never looks
    return false;
  }
  // The sentinel is neither white space, sign nor digit, so the scanning
  // loops below stop at the end of the block without a bounds test.
  buffer_[count] = '\0';
  pos_ = buffer_.get();
  end_ = buffer_.get() + count;
  return true;
}

bool ScalarReader::skip_white_space() {
  for (;;) {
    while (is_space(*pos_)) ++pos_;
    if (pos_ != end_) return true;
    if (!refill()) return false;
  }
}

ReadStatus ScalarReader::read_integer(std::uint64_t max_positive, std::uint64_t& magnitude, bool& negative) {
  if (failed_ || stream_ended_) {
    failed_ = true;
    return ReadStatus::failed;
  }
  if (!skip_white_space()) {
    stream_ended_ = failed_ = true;
    return ReadStatus::failed;
  }
  negative = *pos_ == '-';
  if (negative || *pos_ == '+') {
    ++pos_;
    if (pos_ == end_ && !refill()) {
      stream_ended_ = failed_ = true;
      return ReadStatus::failed;
    }
  }
  magnitude = 0;
  bool any_digit = false;
  bool too_large = false;
  for (;;) {
    while (digit_value(*pos_) <= 9) {
      any_digit = true;
      if (magnitude > kLastSafeMagnitude) {
        too_large = true;  // keep consuming the digits, as extraction does
      } else {
        magnitude = magnitude * 10 + digit_value(*pos_);
      }
      ++pos_;
    }
    if (pos_ != end_) break;
    if (!refill()) {
      stream_ended_ = true;
      break;
    }
  }
  const std::uint64_t max_magnitude = negative ? max_positive + 1 : max_positive;
  if (!any_digit || too_large || magnitude > max_magnitude) {
    failed_ = true;
    return ReadStatus::failed;
  }
  return stream_ended_ ? ReadStatus::ok_at_end : ReadStatus::ok;
}

ReadStatus ScalarReader::read_int64(std::int64_t& value) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  const ReadStatus status = read_integer(std::numeric_limits<std::int64_t>::max(), magnitude, negative);
  // Negating in unsigned arithmetic keeps -2^63 defined.
  if (status != ReadStatus::failed) value = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
  return status;
}

ReadStatus ScalarReader::read_int32(std::int32_t& value) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  const ReadStatus status = read_integer(std::numeric_limits<std::int32_t>::max(), magnitude, negative);
  if (status != ReadStatus::failed) {
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(negative ? 0 - magnitude : magnitude));
  }
  return status;
}

}  // namespace diagonal_picks::scalar
