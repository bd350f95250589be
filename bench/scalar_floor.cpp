// The floor as it was with the byte-at-a-time reader, so that the gain of
// the SIMD scanner stays visible: reads every number, counts nothing and
// writes one flushed line per case.

#include <unistd.h>

#include <cstdint>

#include "case_loop.h"
#include "scalar_reader.h"

int main() {
  using diagonal_picks::scalar::ReadStatus;
  diagonal_picks::scalar::ScalarReader input(STDIN_FILENO);
  const diagonal_picks::LineWriter write_line = diagonal_picks::file_descriptor_writer(STDOUT_FILENO);
  std::int64_t N = 0;
  std::uint32_t checksum = 0;  // keeps the reads observable
  while (input.read_int64(N) == ReadStatus::ok) {
    for (std::int64_t i = 0; i < N; ++i) {
      std::int32_t X = 0;
      std::int32_t Y = 0;
      if (input.read_int32(X) == ReadStatus::failed || input.read_int32(Y) == ReadStatus::failed) break;
      checksum ^= static_cast<std::uint32_t>(X) ^ static_cast<std::uint32_t>(Y);
    }
    write_line((checksum & 1) != 0 ? "1\n" : "0\n");
  }
  return 0;
}
