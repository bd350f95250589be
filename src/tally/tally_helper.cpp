#include "tally/tally_helper.h"

#include <algorithm>
#include <utility>

namespace diagonal_picks {

TallyHelper::TallyHelper(DiagonalTally& tally)
    : tally_(tally), thread_([this](const std::stop_token& stop) { run(stop); }) {}

TallyHelper::Batch& TallyHelper::filling() {
  if (filling_ == nullptr) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queued_ < kBatches; });
    // The helper does not look at this buffer until it is queued.
    filling_ = &batches_[(first_ + queued_) % kBatches];
    filling_->size = 0;
  }
  return *filling_;
}

void TallyHelper::queue_filling() {
  const std::scoped_lock lock(mutex_);
  ++queued_;
  filling_ = nullptr;
  changed_.notify_all();
}

void TallyHelper::add(std::span<const std::int32_t> keys) {
  while (!keys.empty()) {
    Batch& batch = filling();
    const std::size_t taken = std::min(keys.size(), kBatchKeys - batch.size);
    std::copy_n(keys.begin(), taken, batch.keys.begin() + static_cast<std::ptrdiff_t>(batch.size));
    batch.size += taken;
    keys = keys.subspan(taken);
    if (batch.size == kBatchKeys) queue_filling();
  }
}

std::uint64_t TallyHelper::finish() {
  if (filling_ != nullptr) queue_filling();
  std::unique_lock lock(mutex_);
  finish_asked_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return sum_.has_value(); });
  return *std::exchange(sum_, std::nullopt);
}

void TallyHelper::run(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  while (changed_.wait(lock, stop, [this] { return queued_ > 0 || finish_asked_; })) {
    if (queued_ > 0) {
      const Batch& batch = batches_[first_];
      lock.unlock();
      tally_.add(std::span<const std::int32_t>(batch.keys.data(), batch.size));
      lock.lock();
      first_ = (first_ + 1) % kBatches;
      --queued_;
    } else {
      finish_asked_ = false;
      lock.unlock();
      const std::uint64_t sum = tally_.finish();
      lock.lock();
      sum_ = sum;
    }
    changed_.notify_all();
  }
}

}  // namespace diagonal_picks
