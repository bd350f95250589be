// The x86-64 kernels, each in a source file compiled for its instruction set.
#pragma once

#include "read/scan.h"

namespace diagonal_picks {

// AVX2 (with BMI1): classifies 32 bytes per instruction.
ScanResult scan_avx2(const char* first, const char* last, std::int32_t* out, std::size_t max_count);

// AVX-512BW: classifies 64 bytes per instruction.
ScanResult scan_avx512(const char* first, const char* last, std::int32_t* out, std::size_t max_count);

}  // namespace diagonal_picks
