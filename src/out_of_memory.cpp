#include "out_of_memory.h"

#include <unistd.h>

namespace diagonal_picks {

void out_of_memory() noexcept {
  static constexpr char kMessage[] = "diagonal-picks: out of memory\n";
  // Nothing to do if standard error is gone; the exit status still tells.
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  ::_exit(1);
}

}  // namespace diagonal_picks
