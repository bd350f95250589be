// The one place that asks the processor what it supports.

#include <array>

#include "read/scan.h"
#if defined(__x86_64__)
#include "read/scan_x86.h"
#elif defined(__aarch64__)
#include "read/scan_arm.h"
#endif

namespace diagonal_picks {
namespace {

struct SupportedKernels {
  std::array<ScanKernel, 3> kernels{};
  std::size_t count = 0;
};

SupportedKernels detect_kernels() {
  SupportedKernels found;
#if defined(__x86_64__)
  __builtin_cpu_init();
  const bool bmi = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
  if (bmi && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
    found.kernels[found.count++] = {"avx512", scan_avx512};
  }
  if (bmi && __builtin_cpu_supports("avx2")) found.kernels[found.count++] = {"avx2", scan_avx2};
#elif defined(__aarch64__)
  found.kernels[found.count++] = {"neon", scan_neon};
#endif
  found.kernels[found.count++] = {"portable", scan_portable};
  return found;
}

const SupportedKernels& supported() {
  static const SupportedKernels kernels = detect_kernels();
  return kernels;
}

}  // namespace

std::span<const ScanKernel> supported_scan_kernels() { return {supported().kernels.data(), supported().count}; }

const ScanKernel& best_scan_kernel() { return supported().kernels.front(); }

}  // namespace diagonal_picks
