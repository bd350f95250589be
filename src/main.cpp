// diagonal-picks: for each point set on standard input, the share of ordered
// picks of two different points that lie on a common grid diagonal.

#include <unistd.h>

#include <new>

#include "case_loop.h"
#include "out_of_memory.h"
#include "read/input_reader.h"

int main() {
  std::set_new_handler([] { diagonal_picks::out_of_memory(); });
  // The reader's block: measured through `cat W |`, a pipe of 256 KiB beat
  // both the default 64 KiB and 1 MiB, whose data has left the cache by
  // the time it is read.
  diagonal_picks::enlarge_pipe(STDIN_FILENO, diagonal_picks::InputReader::kBlockSize);
  diagonal_picks::InputReader input(diagonal_picks::file_descriptor_source(STDIN_FILENO));
  diagonal_picks::run_cases(input, diagonal_picks::file_descriptor_writer(STDOUT_FILENO), STDIN_FILENO);
  return 0;
}
