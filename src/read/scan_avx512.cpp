// The AVX-512BW kernel. This file alone is compiled with -mavx512f
// -mavx512bw -mbmi -mpopcnt.

#include <immintrin.h>

#include "read/scan_generic.h"
#include "read/scan_x86.h"
#include "read/sixteen_digits.h"

namespace diagonal_picks {
namespace {

struct Avx512 {
  static scan_detail::Masks classify(const char* p) {
    const __m512i bytes = _mm512_loadu_si512(p);
    const auto at_most = [](__m512i values, char limit) {
      return _mm512_cmple_epu8_mask(values, _mm512_set1_epi8(limit));
    };
    const std::uint64_t minus = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('-'));
    return {
        .space = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(' ')) |
                 at_most(_mm512_sub_epi8(bytes, _mm512_set1_epi8('\t')), '\r' - '\t'),
        .digit = at_most(_mm512_sub_epi8(bytes, _mm512_set1_epi8('0')), 9),
        .sign = minus | _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('+')),
        .minus = minus,
    };
  }

  static std::uint64_t magnitude(const char* digits, unsigned length) {
    return scan_detail::sixteen_digit_magnitude(digits, length);
  }
};

}  // namespace

ScanResult scan_avx512(const char* first, const char* last, std::int32_t* out, std::size_t max_count) {
  return scan_detail::scan_numbers<Avx512>(first, last, out, max_count);
}

}  // namespace diagonal_picks
