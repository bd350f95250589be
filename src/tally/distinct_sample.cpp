#include "tally/distinct_sample.h"

namespace diagonal_picks {

void DistinctSample::make_room() {
  if (table_.bits() < kMaxTableBits) {
    if (!table_.grow()) stop_sampling();
    return;
  }
  kept_.clear();
  sample_mask_ = sample_mask_ << 1 | 1;
  table_.for_each([this](const CountedKey& counted) {
    if (sampled(counted.key)) kept_.push_back(counted);
  });
  table_.reset(kMaxTableBits);
  for (const CountedKey& counted : kept_.span()) add(counted.key, counted.count);
}

void DistinctSample::clear() {
  table_.reset(kFirstTableBits);
  sample_mask_ = (1U << kFirstSampleBits) - 1;
  flooded_ = false;
}

}  // namespace diagonal_picks
