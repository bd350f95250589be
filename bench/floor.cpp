// The floor: reads every number of the input with the program's own reader
// and writes one flushed line per case, but counts nothing. No program with
// this output contract can do less work on one core.

#include <unistd.h>

#include <cstdint>

#include "case_loop.h"
#include "input_reader.h"

int main() {
  diagonal_picks::InputReader input(STDIN_FILENO);
  diagonal_picks::FdLineSink output(STDOUT_FILENO);
  std::int64_t N = 0;
  std::int64_t checksum = 0;  // keeps the reads observable
  while (input.read_int64(N) == diagonal_picks::ReadStatus::ok) {
    for (std::int64_t i = 0; i < N; ++i) {
      std::int32_t X = 0;
      std::int32_t Y = 0;
      if (input.read_int32(X) == diagonal_picks::ReadStatus::failed ||
          input.read_int32(Y) == diagonal_picks::ReadStatus::failed) {
        break;
      }
      checksum += X ^ Y;
    }
    output.write_line((checksum & 1) != 0 ? "1\n" : "0\n");
  }
  return 0;
}
