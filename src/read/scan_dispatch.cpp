// Chooses the scanning kernel, once.

#include "cpu/features.h"
#include "read/scan.h"
#if defined(__x86_64__)
#include "read/scan_x86.h"
#elif defined(__aarch64__)
#include "read/scan_arm.h"
#endif

namespace diagonal_picks {
namespace {

KernelList<ScanKernel, 3> detect_kernels() {
  KernelList<ScanKernel, 3> found;
#if defined(__x86_64__)
  const ProcessorFeatures& cpu = processor_features();
  if (cpu.bmi_popcnt && cpu.avx512bw) found.add({"avx512", scan_avx512});
  if (cpu.bmi_popcnt && cpu.avx2) found.add({"avx2", scan_avx2});
#elif defined(__aarch64__)
  found.add({"neon", scan_neon});
#endif
  found.add({"portable", scan_portable});
  return found;
}

}  // namespace

std::span<const ScanKernel> supported_scan_kernels() {
  static const KernelList<ScanKernel, 3> supported = detect_kernels();
  return supported.kernels();
}

const ScanKernel& best_scan_kernel() { return supported_scan_kernels().front(); }

}  // namespace diagonal_picks
