#include "out_of_memory.h"

#include <unistd.h>

#include <atomic>
#include <ctime>

namespace diagonal_picks {

void out_of_memory() noexcept {
  static constexpr char kMessage[] = "diagonal-picks: out of memory\n";
  // Two threads may run out at once; only the first says so, and ends the
  // process once it has.
  static std::atomic_flag said = ATOMIC_FLAG_INIT;
  if (!said.test_and_set()) {
    // Nothing to do if standard error is gone; the exit status still tells.
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    ::_exit(1);
  }
  // Ending the process here could cut the first thread off before its
  // message: wait for it to end the process, but not forever, since its
  // write may be stuck on a full pipe.
  for (int waited_ms = 0; waited_ms < 2000; ++waited_ms) {
    const timespec millisecond{0, 1000000};
    ::nanosleep(&millisecond, nullptr);
  }
  ::_exit(1);
}

}  // namespace diagonal_picks
