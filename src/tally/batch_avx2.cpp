// The AVX2 batch kernel. This file alone is compiled with -mavx2.

#include "tally/batch_generic.h"
#include "tally/batch_x86.h"

namespace diagonal_picks {

const BatchKernel kBatchAvx2{"avx2", batch_detail::mix, batch_detail::range};

}  // namespace diagonal_picks
