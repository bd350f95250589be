// The AVX2 kernel. This file alone is compiled with -mavx2 -mbmi -mpopcnt.

#include <immintrin.h>

#include "read/scan_generic.h"
#include "read/scan_x86.h"
#include "read/sixteen_digits.h"

namespace diagonal_picks {
namespace {

// One bit per byte of 32 bytes.
std::uint64_t bits_of(__m256i bytes) { return static_cast<std::uint32_t>(_mm256_movemask_epi8(bytes)); }

// Bytes equal to their minimum with `limit` are at most `limit`, unsigned.
__m256i at_most(__m256i bytes, char limit) {
  return _mm256_cmpeq_epi8(_mm256_min_epu8(bytes, _mm256_set1_epi8(limit)), bytes);
}

struct Avx2 {
  static scan_detail::Masks classify(const char* p) {
    scan_detail::Masks masks{};
    for (std::size_t half = 0; half < 2; ++half) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * half));
      const __m256i digit = at_most(_mm256_sub_epi8(bytes, _mm256_set1_epi8('0')), 9);
      const __m256i space = _mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(' ')),
                                            at_most(_mm256_sub_epi8(bytes, _mm256_set1_epi8('\t')), '\r' - '\t'));
      const __m256i minus = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('-'));
      const __m256i sign = _mm256_or_si256(minus, _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('+')));
      const auto shift = static_cast<unsigned>(32 * half);
      masks.digit |= bits_of(digit) << shift;
      masks.space |= bits_of(space) << shift;
      masks.minus |= bits_of(minus) << shift;
      masks.sign |= bits_of(sign) << shift;
    }
    return masks;
  }

  static std::uint64_t magnitude(const char* digits, unsigned length) {
    return scan_detail::sixteen_digit_magnitude(digits, length);
  }
};

}  // namespace

ScanResult scan_avx2(const char* first, const char* last, std::int32_t* out, std::size_t max_count) {
  return scan_detail::scan_numbers<Avx2>(first, last, out, max_count);
}

}  // namespace diagonal_picks
