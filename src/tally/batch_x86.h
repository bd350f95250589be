// The x86-64 batch kernels, each in a source file compiled for its
// instruction set.
#pragma once

#include "tally/batch_kernel.h"

namespace diagonal_picks {

extern const BatchKernel kBatchAvx2;

}  // namespace diagonal_picks
