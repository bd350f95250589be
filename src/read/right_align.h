// Byte-shuffle controls shared by the kernels that convert up to sixteen
// digits in one 128-bit register. Included only by kernel files, so it
// has internal linkage.
#pragma once

#include <cstdint>

namespace diagonal_picks::scan_detail {
namespace {

// Entry n moves the first n bytes of a 16-byte register to its end and
// zeroes the rest (index 0x80 selects zero in both the x86 and the ARM
// byte shuffle), so that n digits read from their first byte line up as a
// 16-digit number with leading zeros.
struct RightAlignTable {
  alignas(16) std::uint8_t control[17][16];
};

constexpr RightAlignTable make_right_align_table() {
  RightAlignTable table{};
  for (unsigned n = 0; n <= 16; ++n) {
    for (unsigned i = 0; i < 16; ++i) table.control[n][i] = i < 16 - n ? 0x80 : static_cast<std::uint8_t>(i - (16 - n));
  }
  return table;
}

constexpr RightAlignTable kRightAlign = make_right_align_table();

}  // namespace
}  // namespace diagonal_picks::scan_detail
