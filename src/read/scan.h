// Scanning coordinates out of a byte range, in the shape of std::from_chars:
// a pure function over [first, last) that converts as many plain numbers as
// it can and says where it stopped and why. The block reader above it owns
// the buffer, refills it and handles whatever the scanner leaves alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace diagonal_picks {

// Bytes after `last` that a scanner may load (and ignore): callers keep the
// buffer this much longer than its data.
inline constexpr std::size_t kScanPadding = 64;

// The classic locale's white space: space, \t, \n, \v, \f, \r.
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

enum class ScanStop {
  filled,     // `max_count` numbers were converted
  need_more,  // the range ended before, or inside, the next number
  not_plain,  // the next token is not a plain number: see ScanResult
};

struct ScanResult {
  const char* ptr;    // the first byte not consumed; never inside a number
  std::size_t count;  // numbers written to `out`
  ScanStop stop;
};

// Reads up to `max_count` white-space-separated numbers from [first, last)
// into `out`. A plain number is an optional + or -, 1 to 10 digits, a value
// that fits in 32 bits, and a white-space byte after it inside the range;
// anything else (a longer digit run, an odd byte, a value out of range, a
// number that touches `last`) stops the scan before that token, so the
// caller can read it by the exact rules. `first` must not be inside a
// number, and kScanPadding readable bytes must follow `last`.
using ScanFunction = ScanResult (*)(const char* first, const char* last, std::int32_t* out, std::size_t max_count);

struct ScanKernel {
  std::string_view name;
  ScanFunction scan;
};

// The portable kernel: SWAR on 64-bit words, for every processor.
ScanResult scan_portable(const char* first, const char* last, std::int32_t* out, std::size_t max_count);

// The kernels this processor can run, best first; the portable one is last.
std::span<const ScanKernel> supported_scan_kernels();

// The best of those, chosen once at start-up.
const ScanKernel& best_scan_kernel();

}  // namespace diagonal_picks
