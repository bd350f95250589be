#pragma once

namespace diagonal_picks {

// Ends the run when memory runs out: one line on standard error and exit
// status 1, with no abort and no core dump. Every earlier output line has
// already been written, since lines are written as each case ends.
[[noreturn]] void out_of_memory() noexcept;

}  // namespace diagonal_picks
