// The x86 kernels' digit conversion: up to sixteen digits in one 128-bit
// register. Included only by kernel files, each compiled for its own
// instruction set, so everything here has internal linkage.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "read/right_align.h"

namespace diagonal_picks::scan_detail {
namespace {

// The value of `length` (at most 16) digits at `digits`, which has 16
// readable bytes.
inline std::uint64_t sixteen_digit_magnitude(const char* digits, unsigned length) {
  __m128i value = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(digits)), _mm_set1_epi8('0'));
  value = _mm_shuffle_epi8(value, _mm_load_si128(reinterpret_cast<const __m128i*>(kRightAlign.control[length])));
  // Pairs, then groups of four, then of eight digits.
  value = _mm_maddubs_epi16(value, _mm_set1_epi16(0x010A));
  value = _mm_madd_epi16(value, _mm_set1_epi32(0x00010064));
  value = _mm_madd_epi16(_mm_packus_epi32(value, value), _mm_set1_epi32(0x00012710));
  const auto eights = static_cast<std::uint64_t>(_mm_cvtsi128_si64(value));
  return (eights & 0xFFFFFFFF) * 100000000 + (eights >> 32);
}

}  // namespace
}  // namespace diagonal_picks::scan_detail
