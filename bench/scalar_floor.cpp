// The floor as it was before the SIMD scanner, so that its gain stays
// visible: every number goes through the reader's exact byte-at-a-time
// path, one read call each, as all of them did before. Counts nothing and
// writes one flushed line per case.

#include <unistd.h>

#include <cstdint>

#include "case_loop.h"
#include "read/input_reader.h"

int main() {
  using diagonal_picks::ReadStatus;
  diagonal_picks::InputReader input(diagonal_picks::file_descriptor_source(STDIN_FILENO));
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
