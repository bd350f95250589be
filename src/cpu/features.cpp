// The one place that asks the processor what it supports.

#include "cpu/features.h"

namespace diagonal_picks {
namespace {

ProcessorFeatures detect() {
  ProcessorFeatures found;
#if defined(__x86_64__)
  __builtin_cpu_init();
  found.avx2 = __builtin_cpu_supports("avx2");
  found.avx512bw = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  found.bmi_popcnt = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
#endif
  return found;
}

}  // namespace

const ProcessorFeatures& processor_features() {
  static const ProcessorFeatures features = detect();
  return features;
}

}  // namespace diagonal_picks
