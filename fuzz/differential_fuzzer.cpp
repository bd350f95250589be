// Differential fuzz target. The reader, with every scanning kernel, must
// agree with std::istream extraction on the raw bytes, and reading them from
// a file on several threads must hand over the same points as reading them
// alone; the tallies must agree with a direct pair count (small sets) or an
// ordered map (large ones) on points decoded from the bytes.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "support/reference_models.h"
#include "support/split_reading.h"
#include "tally/batch_kernel.h"
#include "tally/diagonal_tally.h"
#include "tally/key_hash.h"

namespace {

using diagonal_picks::reference::Points;

// Every kernel this processor can run, reading one number at a time and in
// batches.
void check_reader(std::string_view text, std::size_t chunk_size, std::size_t batch_size) {
  namespace reference = diagonal_picks::reference;
  const auto one_at_a_time = reference::read_with_stream(text);
  const auto batched = reference::read_batches_with_stream(text);
  for (const auto& kernel : diagonal_picks::supported_scan_kernels()) {
    if (reference::read_with_reader(text, chunk_size, kernel) != one_at_a_time) std::abort();
    if (reference::read_batches_with_reader(text, chunk_size, kernel, batch_size) != batched) std::abort();
  }
}

// The bytes as a file read on 2 to 5 threads, in shares of 1 to 64 bytes,
// and through a pipe written 1 to 64 bytes at a time.
void check_split_reading(std::string_view text, std::uint8_t shape) {
  namespace reference = diagonal_picks::reference;
  const auto alone = reference::read_alone(text);
  const reference::TempFile file(text);
  reference::RecordingCounter counter;
  if (!reference::same_points(reference::read_split(file, 2 + shape % 4, 1 + shape / 4, counter), alone)) {
    std::abort();
  }
  reference::RecordingCounter stream_counter;
  const auto streamed = reference::read_split_stream(text, 1 + shape / 4, 2 + shape % 4, 64, stream_counter);
  if (!reference::same_points(streamed, alone)) std::abort();
}

// Each 9-byte record is a point and a repeat count: it adds up to 256
// points along a diagonal step, so short inputs can still outgrow the table.
Points decode_points(const std::uint8_t* data, std::size_t size) {
  Points points;
  for (; size >= 9; data += 9, size -= 9) {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::memcpy(&x, data, 4);
    std::memcpy(&y, data + 4, 4);
    const unsigned repeat = data[8];
    for (unsigned i = 0; i <= repeat; ++i) {
      points.emplace_back(x, y);
      x = static_cast<std::int32_t>(static_cast<std::uint32_t>(x) + 1);
    }
  }
  return points;
}

void check_tallies(const Points& points, const diagonal_picks::BatchKernel& kernel) {
  diagonal_picks::DiagonalTally NEdiags(kernel);
  diagonal_picks::DiagonalTally SEdiags(kernel);
  if (points.size() <= 300) {
    for (const auto& [X, Y] : points) diagonal_picks::add_point(NEdiags, SEdiags, X, Y);
    const auto N = static_cast<std::int64_t>(points.size());
    const double ratio = diagonal_picks::pick_ratio(N, NEdiags, SEdiags);
    const double expected = diagonal_picks::reference::brute_force_ratio(points);
    if (points.empty() ? !std::isnan(ratio) : ratio != expected) std::abort();
    return;
  }
  std::vector<std::int32_t> ne_keys;
  std::vector<std::int32_t> se_keys;
  for (const auto& [X, Y] : points) {
    ne_keys.push_back(static_cast<std::int32_t>(diagonal_picks::reference::ne_key(X, Y)));
    se_keys.push_back(static_cast<std::int32_t>(diagonal_picks::reference::se_key(X, Y)));
  }
  // Whole, so that the tally cuts its own batches.
  NEdiags.add(ne_keys);
  SEdiags.add(se_keys);
  if (NEdiags.finish() != diagonal_picks::reference::map_sum_of_squares(ne_keys)) std::abort();
  if (SEdiags.finish() != diagonal_picks::reference::map_sum_of_squares(se_keys)) std::abort();
}

// The same keys moved to values whose mixed forms share their top 12 bits:
// they flood the small table at once, so the partitions, their compaction
// and its sorting take over even for a few hundred keys.
constexpr diagonal_picks::key_hash::Seed kKnownSeed{0xF022U, 0xF022F022U};

void check_colliding_tally(const Points& points, const diagonal_picks::BatchKernel& kernel) {
  namespace key_hash = diagonal_picks::key_hash;
  std::vector<std::int32_t> keys;
  for (const auto& [X, Y] : points) {
    const std::uint32_t low = diagonal_picks::reference::se_key(X, Y) & 0xFFFFFU;
    keys.push_back(static_cast<std::int32_t>(key_hash::unmix(0xABC00000U | low, kKnownSeed)));
  }
  key_hash::fix_process_seed(kKnownSeed);
  diagonal_picks::DiagonalTally tally(kernel);
  tally.add(keys);
  if (tally.finish() != diagonal_picks::reference::map_sum_of_squares(keys)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  check_reader(text, 1 + data[0] % 16, 1 + data[0] / 16);
  check_split_reading(text, data[0]);
  const Points points = decode_points(data, size);
  const auto kernels = diagonal_picks::supported_batch_kernels();
  const diagonal_picks::BatchKernel& kernel = kernels[data[0] % kernels.size()];
  check_tallies(points, kernel);
  check_colliding_tally(points, kernel);
  return 0;
}
