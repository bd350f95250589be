// The scanning algorithm, shared by every kernel. Each kernel supplies two
// pieces, compiled for its own instruction set:
//   Masks Isa::classify(const char* p)  one bit per byte of p[0..63];
//   std::uint64_t Isa::magnitude(const char* digits, unsigned length)  the
//     value of 1 to 10 digits, with readable bytes after them.
// This header is included by one source file per kernel, each compiled with
// its own flags, so it uses compiler builtins and no out-of-line library
// functions whose copies could mix up instruction sets at link time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "read/scan.h"

namespace diagonal_picks::scan_detail {
namespace {

// Bit i describes byte i of a 64-byte window.
struct Masks {
  std::uint64_t space;  // one of the six white-space characters
  std::uint64_t digit;  // '0' to '9'
  std::uint64_t sign;   // '+' or '-'
  std::uint64_t minus;  // '-'
};

inline unsigned lowest_bit(std::uint64_t bits) { return static_cast<unsigned>(__builtin_ctzll(bits)); }

constexpr std::uint32_t kMaxMagnitude = 2147483647;

template <class Isa>
ScanResult scan_numbers(const char* first, const char* last, std::int32_t* out, std::size_t max_count) {
  const char* window = first;  // never inside a token
  std::size_t count = 0;
  while (count < max_count) {
    const auto available = static_cast<std::size_t>(last - window);
    if (available == 0) return {window, count, ScanStop::need_more};
    const unsigned window_bytes = available >= 64 ? 64 : static_cast<unsigned>(available);
    const Masks masks = Isa::classify(window);
    const std::uint64_t valid = window_bytes == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << window_bytes) - 1;
    const std::uint64_t space = masks.space & valid;
    const std::uint64_t digit = masks.digit & valid;
    // Bytes past `last` count as token bytes, so a number that touches
    // `last` never looks complete.
    const std::uint64_t token = ~space;
    const std::uint64_t starts = token & ~(token << 1) & valid;
    const std::uint64_t complete_ends = token & (space >> 1);  // a token's last byte, white space after it

    // A plain token is [sign] digits, at most ten of them; take only the
    // complete tokens before the first byte that breaks that.
    std::uint64_t odd = (token & valid & ~digit & ~masks.sign) | (masks.sign & ~starts) | (masks.sign & ~(digit >> 1));
    const std::uint64_t digits2 = digit & (digit >> 1);
    const std::uint64_t digits4 = digits2 & (digits2 >> 2);
    const std::uint64_t digits8 = digits4 & (digits4 >> 4);
    odd |= digits8 & (digits2 >> 8) & (digit >> 10);  // eleven digits in a row
    std::uint64_t ends = complete_ends;
    if (odd != 0) ends &= (std::uint64_t{1} << lowest_bit(odd)) - 1;

    // Each plain token holds one run of digits, right after its sign if it
    // has one.
    std::uint64_t digit_starts = digit & ~(digit << 1);
    const std::uint64_t after_minus = masks.minus << 1;
    const std::size_t room = max_count - count;
    const auto complete = static_cast<std::size_t>(__builtin_popcountll(ends));
    const std::size_t take = complete < room ? complete : room;
    unsigned consumed = 0;  // up to the white space after the last token taken
    for (std::size_t taken = 0; taken < take; ++taken) {
      const unsigned digits = lowest_bit(digit_starts);
      const unsigned end = lowest_bit(ends);
      digit_starts &= digit_starts - 1;
      ends &= ends - 1;
      const auto negative = static_cast<std::uint32_t>((after_minus >> digits) & 1);
      const std::uint64_t magnitude = Isa::magnitude(window + digits, end + 1 - digits);
      if (magnitude > kMaxMagnitude + negative) {
        // Out of range: leave it, and its failure, to the exact reader.
        const auto has_sign = static_cast<unsigned>(((masks.sign << 1) >> digits) & 1);
        return {window + digits - has_sign, count, ScanStop::not_plain};
      }
      const auto bits = static_cast<std::uint32_t>(magnitude);
      out[count++] = static_cast<std::int32_t>((bits ^ (0 - negative)) + negative);
      consumed = end + 1;
    }
    if (count == max_count) return {window + consumed, count, ScanStop::filled};

    // What follows the tokens taken: white space to the window's end, a
    // token that is not plain, or one that runs past the window.
    const std::uint64_t later_starts = consumed == 64 ? 0 : starts >> consumed << consumed;
    if (later_starts == 0) {
      window += window_bytes;
      continue;
    }
    const unsigned next = lowest_bit(later_starts);
    if ((complete_ends >> next) != 0) return {window + next, count, ScanStop::not_plain};
    if (window_bytes < 64) return {window + next, count, ScanStop::need_more};
    if (next == 0) return {window, count, ScanStop::not_plain};  // a token of 64 bytes or more
    window += next;
  }
  return {window, count, ScanStop::filled};
}

}  // namespace
}  // namespace diagonal_picks::scan_detail
