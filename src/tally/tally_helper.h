#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <thread>

#include "tally/diagonal_tally.h"

namespace diagonal_picks {

// A second thread that counts keys into one tally while the caller reads
// and counts the other. Batches of keys are handed over through a small
// ring of buffers, which are reused; the caller waits only when all of
// them are still being counted.
//
// While the helper runs, only it touches the tally: the caller hands keys
// over with add() and gets the sum back with finish(), each of which
// passes the tally between the threads through the ring's lock.
class TallyHelper {
 public:
  explicit TallyHelper(DiagonalTally& tally);

  // Queues keys to be counted.
  void add(std::span<const std::int32_t> keys);

  // Waits until every queued key is counted, then returns the tally's sum
  // of squared counts and clears it for the next case.
  std::uint64_t finish();

 private:
  // Large batches, so that handing one over, which may wake a thread, is
  // rare.
  static constexpr std::size_t kBatchKeys = std::size_t{1} << 14;
  struct Batch {
    std::array<std::int32_t, kBatchKeys> keys;
    std::size_t size = 0;
  };
  static constexpr std::size_t kBatches = 16;

  // The batch being filled, once no queued batch uses its buffer.
  Batch& filling();
  void queue_filling();
  void run(const std::stop_token& stop);

  DiagonalTally& tally_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::array<Batch, kBatches> batches_{};
  std::size_t first_ = 0;     // the oldest queued batch
  std::size_t queued_ = 0;    // batches queued or being counted
  Batch* filling_ = nullptr;  // the caller's, between filling() and queue_filling()
  bool finish_asked_ = false;
  std::optional<std::uint64_t> sum_;
  std::jthread thread_;  // last: it starts once the rest is ready, and stops and joins first
};

}  // namespace diagonal_picks
