// The floor: reads every number of the input with the program's own reader
// and case loop and writes one flushed line per case, but counts nothing.
// No program with this output contract can do much less work on one core.
// Usage: floor [KERNEL]   (a scanning kernel by name, for comparing them)
//        floor --kernels   (prints the kernels this processor can run, best first)

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

#include "case_loop.h"
#include "read/input_reader.h"

namespace {

// Touches every coordinate, so that the reads cannot be dropped.
class ChecksumCounter {
 public:
  void add(std::span<const std::int32_t> coordinates) {
    for (const std::int32_t value : coordinates) checksum_ ^= static_cast<std::uint32_t>(value);
  }
  double finish(std::int64_t /*N*/) const { return checksum_ & 1; }

 private:
  std::uint32_t checksum_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const diagonal_picks::ScanKernel* kernel = &diagonal_picks::best_scan_kernel();
  const std::string_view option = argc > 1 ? argv[1] : "";
  if (option == "--kernels") {
    for (const auto& supported : diagonal_picks::supported_scan_kernels()) {
      std::printf("%.*s\n", static_cast<int>(supported.name.size()), supported.name.data());
    }
    return 0;
  }
  if (!option.empty()) {
    kernel = nullptr;
    for (const auto& supported : diagonal_picks::supported_scan_kernels()) {
      if (supported.name == option) kernel = &supported;
    }
    if (kernel == nullptr) {
      std::fprintf(stderr, "floor: kernel %s is not supported here\n", argv[1]);
      return 2;
    }
  }
  diagonal_picks::InputReader input(diagonal_picks::file_descriptor_source(STDIN_FILENO), *kernel);
  ChecksumCounter counter;
  diagonal_picks::read_cases(input, counter, diagonal_picks::file_descriptor_writer(STDOUT_FILENO));
  return 0;
}
