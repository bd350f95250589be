// The portable kernel: eight bytes at a time in 64-bit words (SWAR).

#include <bit>
#include <cstring>

#include "read/scan_generic.h"

namespace diagonal_picks {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;

// Eight bytes with the first in the low byte, on any byte order.
std::uint64_t load_word(const char* p) {
  std::uint64_t word = 0;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

// The high bit of each byte of `bytes`, gathered into bits 0 to 7: the
// multiplier sends byte k's bit to bit 56 + k, and no two products overlap.
std::uint64_t gather_high_bits(std::uint64_t bytes) { return ((bytes & kHighBits) >> 7) * 0x0102040810204080 >> 56; }

struct Portable {
  static scan_detail::Masks classify(const char* p) {
    scan_detail::Masks masks{};
    for (std::size_t word_index = 0; word_index < 8; ++word_index) {
      const std::uint64_t word = load_word(p + 8 * word_index);
      const std::uint64_t low7 = word & ~kHighBits;  // each byte below 0x80, so sums never carry
      const std::uint64_t ascii = ~word & kHighBits;
      const auto at_least = [low7](unsigned char c) { return (low7 + kOnes * (0x80U - c)) & kHighBits; };
      const auto equal = [low7, ascii](unsigned char c) { return ascii & ~((low7 ^ (kOnes * c)) + ~kHighBits); };
      const std::uint64_t digit = ascii & at_least('0') & ~at_least('9' + 1);
      const std::uint64_t space = (ascii & at_least('\t') & ~at_least('\r' + 1)) | equal(' ');
      const std::uint64_t minus = equal('-');
      const std::uint64_t sign = minus | equal('+');
      const auto shift = static_cast<unsigned>(8 * word_index);
      masks.digit |= gather_high_bits(digit) << shift;
      masks.space |= gather_high_bits(space) << shift;
      masks.minus |= gather_high_bits(minus) << shift;
      masks.sign |= gather_high_bits(sign) << shift;
    }
    return masks;
  }

  // The value of 1 to 8 digits at p.
  static std::uint64_t up_to_eight_digits(const char* p, unsigned length) {
    const unsigned unused_bits = 8 * (8 - length);
    // Subtracting per byte may borrow, but only upwards, into the unused
    // bytes, which the shift drops while it moves the last digit to the top.
    std::uint64_t word = (load_word(p) - kOnes * '0') << unused_bits;
    word = word * 10 + (word >> 8);  // pairs of digits, in every other byte
    constexpr std::uint64_t kPairMask = 0x000000FF000000FF;
    return (((word & kPairMask) * (100 + (1000000ULL << 32))) +
            (((word >> 16) & kPairMask) * (1 + (10000ULL << 32)))) >>
           32;
  }

  static std::uint64_t magnitude(const char* digits, unsigned length) {
    return length <= 8
               ? up_to_eight_digits(digits, length)
               : up_to_eight_digits(digits, length - 8) * 100000000 + up_to_eight_digits(digits + length - 8, 8);
  }
};

}  // namespace

ScanResult scan_portable(const char* first, const char* last, std::int32_t* out, std::size_t max_count) {
  return scan_detail::scan_numbers<Portable>(first, last, out, max_count);
}

}  // namespace diagonal_picks
