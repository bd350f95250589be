// The aarch64 kernel. Every aarch64 processor has Advanced SIMD, so it
// needs no run-time check.
#pragma once

#include "read/scan.h"

namespace diagonal_picks {

// Advanced SIMD (NEON): classifies 16 bytes per instruction.
ScanResult scan_neon(const char* first, const char* last, std::int32_t* out, std::size_t max_count);

}  // namespace diagonal_picks
