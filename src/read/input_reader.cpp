#include "read/input_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

namespace diagonal_picks {
namespace {

constexpr unsigned digit_value(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0'; }

// Past this magnitude one more digit could leave the 64-bit range.
constexpr std::uint64_t kLastSafeMagnitude = (std::numeric_limits<std::uint64_t>::max() - 9) / 10;

}  // namespace

void enlarge_pipe(int fd, std::size_t bytes) {
#if defined(F_SETPIPE_SZ) && !defined(DIAGONAL_PICKS_POSIX_FALLBACK)
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode)) {
    // Refused (an unprivileged process past pipe-max-size, say): the pipe
    // works as it was.
    static_cast<void>(::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bytes)));
  }
#else
  static_cast<void>(fd);
  static_cast<void>(bytes);
#endif
}

ByteSource file_descriptor_source(int fd) {
  return [fd](char* buffer, std::size_t capacity) -> std::size_t {
    for (;;) {
      const ssize_t got = ::read(fd, buffer, capacity);
      if (got < 0 && errno == EINTR) continue;
      return got > 0 ? static_cast<std::size_t>(got) : 0;
    }
  };
}

InputReader::InputReader(ByteSource source, const ScanKernel& kernel)
    : source_(std::move(source)),
      scan_(kernel.scan),
      // Only the sentinel and the padding after the data are ever read
      // beyond it: those are zeroed at each refill, not the whole block.
      buffer_(kBlockSize + 1 + kScanPadding),
      pos_(buffer_.at(0)),
      end_(buffer_.at(0)) {
  std::fill_n(buffer_.at(0), 1 + kScanPadding, '\0');
}

// Called only when every buffered byte has been consumed.
bool InputReader::refill() {
  if (source_exhausted_) return false;
  char* const block = buffer_.at(source_offset_);
  const std::size_t count = source_(block, next_block_);
  source_offset_ += count;
  next_block_ = std::min(kBlockSize, 2 * next_block_);
  if (count == 0) {
    source_exhausted_ = true;  // a terminal may deliver more after an end of file; a stream never looks
    return false;
  }
  // The sentinel is neither white space, sign nor digit, so the scanning
  // loops below stop at the end of the block without a bounds test.
  std::fill_n(block + count, 1 + kScanPadding, '\0');
  pos_ = block;
  end_ = block + count;
  return true;
}

std::size_t InputReader::read_raw(std::span<char> to) {
  if (pos_ != end_) {
    const std::size_t taken = std::min(to.size(), buffered());
    std::copy_n(pos_, taken, to.data());
    pos_ += taken;
    return taken;
  }
  if (source_exhausted_ || to.empty()) return 0;
  const std::size_t count = source_(to.data(), to.size());
  source_offset_ += count;
  source_exhausted_ = count == 0;
  return count;
}

void InputReader::put_back(std::span<const char> bytes) {
  const std::size_t kept = buffered();
  const std::size_t size = bytes.size() + kept;
  if (size > capacity_) {
    ReadBuffer larger(size + 1 + kScanPadding);
    std::copy_n(pos_, kept, larger.at(0) + bytes.size());
    buffer_ = std::move(larger);
    capacity_ = size;
  } else {
    std::memmove(buffer_.at(0) + bytes.size(), pos_, kept);
  }
  char* const first = buffer_.at(0);
  std::copy(bytes.begin(), bytes.end(), first);
  std::fill_n(first + size, 1 + kScanPadding, '\0');
  pos_ = first;
  end_ = first + size;
}

bool InputReader::skip_white_space() {
  for (;;) {
    while (is_space(*pos_)) ++pos_;
    if (pos_ != end_) return true;
    if (!refill()) return false;
  }
}

ReadStatus InputReader::read_integer(std::uint64_t max_positive, std::uint64_t& magnitude, bool& negative) {
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

ReadStatus InputReader::read_int64(std::int64_t& value) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  const ReadStatus status = read_integer(std::numeric_limits<std::int64_t>::max(), magnitude, negative);
  // Negating in unsigned arithmetic keeps -2^63 defined.
  if (status != ReadStatus::failed) value = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
  return status;
}

ReadStatus InputReader::read_int32(std::int32_t& value) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  const ReadStatus status = read_integer(std::numeric_limits<std::int32_t>::max(), magnitude, negative);
  if (status != ReadStatus::failed) {
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(negative ? 0 - magnitude : magnitude));
  }
  return status;
}

std::size_t InputReader::read_int32s(std::span<std::int32_t> values) {
  std::size_t done = 0;
  while (done < values.size()) {
    if (!failed_ && !stream_ended_) {
      const ScanResult scanned = scan_(pos_, end_, values.data() + done, values.size() - done);
      pos_ = scanned.ptr;
      done += scanned.count;
      if (scanned.stop == ScanStop::filled) break;
    }
    // The scanner stopped before a token it leaves alone, or at the end of
    // the block: read one number by the exact rules, refilling as needed.
    if (read_int32(values[done]) == ReadStatus::failed) break;
    ++done;
  }
  return done;
}

}  // namespace diagonal_picks
