#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace diagonal_picks {

// What this processor supports beyond its architecture's base, asked once.
struct ProcessorFeatures {
  bool avx2 = false;
  bool avx512bw = false;  // with AVX-512F
  bool bmi_popcnt = false;
};

const ProcessorFeatures& processor_features();

// The kernels of one task that this processor can run, best first, the
// portable one last.
template <class Kernel, std::size_t kCapacity>
class KernelList {
 public:
  void add(const Kernel& kernel) { kernels_[count_++] = kernel; }
  std::span<const Kernel> kernels() const { return {kernels_.data(), count_}; }

 private:
  std::array<Kernel, kCapacity> kernels_{};
  std::size_t count_ = 0;
};

}  // namespace diagonal_picks
