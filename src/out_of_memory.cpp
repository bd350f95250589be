#include "out_of_memory.h"

#include <unistd.h>

#include <atomic>

namespace diagonal_picks {

void out_of_memory() noexcept {
  static constexpr char kMessage[] = "diagonal-picks: out of memory\n";
  // Two threads may run out at once; only the first says so.
  static std::atomic_flag said = ATOMIC_FLAG_INIT;
  if (!said.test_and_set()) {
    // Nothing to do if standard error is gone; the exit status still tells.
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  }
  ::_exit(1);
}

}  // namespace diagonal_picks
