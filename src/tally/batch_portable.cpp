// The portable batch kernel, for every processor, and the choice among the
// kernels, made once.

#include <algorithm>

#include "cpu/features.h"
#include "tally/batch_generic.h"
#if defined(__x86_64__)
#include "tally/batch_x86.h"
#endif

namespace diagonal_picks {
namespace {

// Plain stores: the caches keep what they will, and the stores need no
// more ordering than any other.
void copy_line(std::uint32_t* to, const std::uint32_t* from) { std::copy_n(from, kStreamedLineWords, to); }
void no_fence() {}

KernelList<BatchKernel, 2> detect_kernels() {
  KernelList<BatchKernel, 2> found;
#if defined(__x86_64__)
  if (processor_features().avx2) found.add(kBatchAvx2);
#endif
  found.add({"portable", batch_detail::mix, batch_detail::range, copy_line, no_fence});
  return found;
}

}  // namespace

std::span<const BatchKernel> supported_batch_kernels() {
  static const KernelList<BatchKernel, 2> supported = detect_kernels();
  return supported.kernels();
}

const BatchKernel& best_batch_kernel() { return supported_batch_kernels().front(); }

}  // namespace diagonal_picks
