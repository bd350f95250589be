// The AVX2 batch kernel. This file alone is compiled with -mavx2.

#include <immintrin.h>

#include "tally/batch_generic.h"
#include "tally/batch_x86.h"

namespace diagonal_picks {
namespace {

void stream_line(std::uint32_t* to, const std::uint32_t* from) {
  for (std::size_t at = 0; at < kStreamedLineWords; at += 8) {
    const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + at));
    _mm256_stream_si256(reinterpret_cast<__m256i*>(to + at), words);
  }
}

void finish_streaming() { _mm_sfence(); }

}  // namespace

const BatchKernel kBatchAvx2{"avx2", batch_detail::mix, batch_detail::range, stream_line, finish_streaming};

}  // namespace diagonal_picks
