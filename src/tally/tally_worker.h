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

// A thread that counts keys into one or two tallies while the caller reads.
// Batches of keys, one array per tally, are handed over through a ring of
// reused buffers; the caller waits only when the whole ring is still being
// counted, and the thread only when the ring is empty.
//
// While the thread runs, only it touches its tallies: they pass between
// the threads through the ring's lock, when a case's first batch is queued
// and when finish() returns.
class TallyWorker {
 public:
  static constexpr std::size_t kMaxTallies = 2;
  // Large batches, so that handing one over, which may wake a thread, is
  // rare.
  static constexpr std::size_t kBatchKeys = std::size_t{1} << 14;

  explicit TallyWorker(std::span<DiagonalTally* const> tallies);

  // Where the caller writes the next keys of tally `tally`: up to room()
  // of them, the same number for every tally, then calls filled(count).
  std::span<std::int32_t> keys(std::size_t tally);
  std::size_t room();
  void filled(std::size_t count);

  // Asks the thread to finish its first `count` tallies (so that they are
  // empty for the next case) once every queued key is counted, and to hand
  // the others back to the caller, who may finish them meanwhile, once
  // wait_until_counted() has returned. sums() waits for the thread's sums.
  void ask_to_finish(std::size_t count);
  void wait_until_counted();
  std::array<std::uint64_t, kMaxTallies> sums();

 private:
  struct Batch {
    std::array<std::array<std::int32_t, kBatchKeys>, kMaxTallies> keys;
    std::size_t size = 0;
  };
  static constexpr std::size_t kBatches = 8;

  // The batch being filled, once no queued batch uses its buffer.
  Batch& filling();
  void queue_filling();
  void run(const std::stop_token& stop);

  const std::array<DiagonalTally*, kMaxTallies> tallies_;
  const std::size_t tally_count_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::array<Batch, kBatches> batches_{};
  std::size_t first_ = 0;                    // the oldest queued batch
  std::size_t queued_ = 0;                   // batches queued or being counted
  Batch* filling_ = nullptr;                 // the caller's, between filling() and queue_filling()
  std::optional<std::size_t> finish_asked_;  // how many tallies to finish
  bool counted_ = false;                     // every queued key, since finish was asked
  std::optional<std::array<std::uint64_t, kMaxTallies>> sums_;
  std::jthread thread_;  // last: it starts once the rest is ready, and stops and joins first
};

}  // namespace diagonal_picks
