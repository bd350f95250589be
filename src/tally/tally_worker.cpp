#include "tally/tally_worker.h"

#include <algorithm>
#include <utility>

namespace diagonal_picks {

namespace {

std::array<DiagonalTally*, TallyWorker::kMaxTallies> first_tallies(std::span<DiagonalTally* const> tallies) {
  std::array<DiagonalTally*, TallyWorker::kMaxTallies> first{};
  std::copy_n(tallies.begin(), std::min(tallies.size(), first.size()), first.begin());
  return first;
}

}  // namespace

TallyWorker::TallyWorker(std::span<DiagonalTally* const> tallies)
    : tallies_(first_tallies(tallies)),
      tally_count_(std::min(tallies.size(), kMaxTallies)),
      thread_([this](const std::stop_token& stop) { run(stop); }) {}

TallyWorker::Batch& TallyWorker::filling() {
  if (filling_ == nullptr) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queued_ < kBatches; });
    // The thread does not look at this buffer until it is queued.
    filling_ = &batches_[(first_ + queued_) % kBatches];
    filling_->size = 0;
  }
  return *filling_;
}

void TallyWorker::queue_filling() {
  const std::scoped_lock lock(mutex_);
  ++queued_;
  filling_ = nullptr;
  changed_.notify_all();
}

std::span<std::int32_t> TallyWorker::keys(std::size_t tally) {
  Batch& batch = filling();
  return std::span(batch.keys[tally]).subspan(batch.size);
}

std::size_t TallyWorker::room() { return kBatchKeys - filling().size; }

void TallyWorker::filled(std::size_t count) {
  Batch& batch = filling();
  batch.size += count;
  if (batch.size == kBatchKeys) queue_filling();
}

void TallyWorker::ask_to_finish(std::size_t count) {
  if (filling_ != nullptr) queue_filling();
  const std::scoped_lock lock(mutex_);
  finish_asked_ = count;
  changed_.notify_all();
}

void TallyWorker::wait_until_counted() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return counted_; });
}

std::array<std::uint64_t, TallyWorker::kMaxTallies> TallyWorker::sums() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return sums_.has_value(); });
  counted_ = false;
  return *std::exchange(sums_, std::nullopt);
}

void TallyWorker::run(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  while (changed_.wait(lock, stop, [this] { return queued_ > 0 || finish_asked_.has_value(); })) {
    if (queued_ > 0) {
      const Batch& batch = batches_[first_];
      lock.unlock();
      for (std::size_t tally = 0; tally < tally_count_; ++tally) {
        tallies_[tally]->add(std::span<const std::int32_t>(batch.keys[tally].data(), batch.size));
      }
      lock.lock();
      first_ = (first_ + 1) % kBatches;
      --queued_;
    } else {
      const std::size_t count = std::min(*std::exchange(finish_asked_, std::nullopt), tally_count_);
      counted_ = true;  // the other tallies are the caller's now
      changed_.notify_all();
      lock.unlock();
      std::array<std::uint64_t, kMaxTallies> sums{};
      for (std::size_t tally = 0; tally < count; ++tally) sums[tally] = tallies_[tally]->finish();
      lock.lock();
      sums_ = sums;
    }
    changed_.notify_all();
  }
}

}  // namespace diagonal_picks
