// The Advanced SIMD (NEON) kernel, built only for aarch64.

#include <arm_neon.h>

#include <bit>

#include "read/right_align.h"
#include "read/scan_arm.h"
#include "read/scan_generic.h"

namespace diagonal_picks {
namespace {

// The lane arithmetic below reads bytes as little-endian lanes.
static_assert(std::endian::native == std::endian::little);

// NEON has no byte mask like x86's movemask. The window is loaded with
// vld4q, which deals byte 4j + k to lane j of register k; three rounds of
// shift-right-and-insert then stack the four registers' top bits into the
// nibble of lane j, in byte order, and a narrowing shift packs two lanes'
// nibbles per byte: bit i of the result is the top bit of byte i.
std::uint64_t top_bits(const uint8x16x4_t& bytes) {
  const uint8x16_t low_pair = vsriq_n_u8(bytes.val[1], bytes.val[0], 1);
  const uint8x16_t high_pair = vsriq_n_u8(bytes.val[3], bytes.val[2], 1);
  const uint8x16_t nibbles = vsriq_n_u8(high_pair, low_pair, 2);
  const uint8x16_t doubled = vsriq_n_u8(nibbles, nibbles, 4);
  return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(doubled), 4)), 0);
}

struct Neon {
  static scan_detail::Masks classify(const char* p) {
    const uint8x16x4_t bytes = vld4q_u8(reinterpret_cast<const std::uint8_t*>(p));
    uint8x16x4_t digit;
    uint8x16x4_t space;
    uint8x16x4_t sign;
    uint8x16x4_t minus;
    for (std::size_t k = 0; k < 4; ++k) {
      const uint8x16_t b = bytes.val[k];
      digit.val[k] = vcleq_u8(vsubq_u8(b, vdupq_n_u8('0')), vdupq_n_u8(9));
      space.val[k] =
          vorrq_u8(vceqq_u8(b, vdupq_n_u8(' ')), vcleq_u8(vsubq_u8(b, vdupq_n_u8('\t')), vdupq_n_u8('\r' - '\t')));
      minus.val[k] = vceqq_u8(b, vdupq_n_u8('-'));
      sign.val[k] = vorrq_u8(minus.val[k], vceqq_u8(b, vdupq_n_u8('+')));
    }
    return {.space = top_bits(space), .digit = top_bits(digit), .sign = top_bits(sign), .minus = top_bits(minus)};
  }

  // Up to sixteen digits in one register: right-align them behind leading
  // zeros, then combine pairs, groups of four and groups of eight.
  static std::uint64_t magnitude(const char* digits, unsigned length) {
    const uint8x16_t raw = vsubq_u8(vld1q_u8(reinterpret_cast<const std::uint8_t*>(digits)), vdupq_n_u8('0'));
    const uint8x16_t aligned = vqtbl1q_u8(raw, vld1q_u8(scan_detail::kRightAlign.control[length]));
    const uint8x16_t tens_ones = vreinterpretq_u8_u16(vdupq_n_u16(0x010A));
    const uint16x8_t pairs = vpaddlq_u8(vmulq_u8(aligned, tens_ones));
    const uint32x4_t fours = vpaddlq_u16(vmulq_u16(pairs, vreinterpretq_u16_u32(vdupq_n_u32(0x00010064))));
    const uint64x2_t eights = vpaddlq_u32(vmulq_u32(fours, vreinterpretq_u32_u64(vdupq_n_u64(0x0000000100002710))));
    return vgetq_lane_u64(eights, 0) * 100000000 + vgetq_lane_u64(eights, 1);
  }
};

}  // namespace

ScanResult scan_neon(const char* first, const char* last, std::int32_t* out, std::size_t max_count) {
  return scan_detail::scan_numbers<Neon>(first, last, out, max_count);
}

}  // namespace diagonal_picks
