#include "tally/diagonal_tally.h"

#include <algorithm>
#include <array>

namespace diagonal_picks {

DiagonalTally::DiagonalTally(const BatchKernel& kernel)
    : kernel_(&kernel),
      seed_(key_hash::process_seed()),
      narrow_(key_hash::slot_factor(seed_)),
      table_(kFirstTableBits, key_hash::slot_factor(seed_), kHugeTableBits),
      partitions_(kernel),
      policy_(key_hash::slot_factor(seed_)),
      counter_(key_hash::slot_factor(seed_)) {}

void DiagonalTally::add(std::span<const std::int32_t> keys) {
  while (!keys.empty()) {
    std::span<const std::int32_t> batch = keys.first(std::min(kBatch, keys.size()));
    keys = keys.subspan(batch.size());
    keys_ += batch.size();
    // While the case may still count in the narrow array, its range matters.
    KeyRange range{};
    if (!narrow_closed_ && stage_ != Stage::many) kernel_->range(batch.data(), batch.size(), range);
    // Each stage takes what it can and moves the case on to the next.
    while (!batch.empty()) {
      if (stage_ == Stage::narrow) {
        if (narrow_.add(batch, range)) break;
        leave_narrow(range);
      } else if (stage_ == Stage::few) {
        batch = add_to_table(batch, range);
      } else {
        add_to_partitions(batch);
        break;
      }
    }
  }
  // Streamed lines are ordered with later stores only by a fence: one per
  // call, since the next call may come from another thread. Two CPUs hand
  // a large case's points over in calls of up to 2,048.
  partitions_.finish_streaming();
}

std::span<const std::int32_t> DiagonalTally::add_to_table(std::span<const std::int32_t> keys, const KeyRange& range) {
  if (!narrow_closed_) {
    seen_ = merged(seen_, range);
    // Keys too far apart for the narrow array stay so: their range need
    // not be taken again.
    narrow_closed_ = !RangeCounts::fits_window(seen_);
  }
  while (true) {
    // Until the table is past a quarter full.
    const std::size_t room = table_.slot_count() / 4 + 1;
    keys = keys.subspan(table_.add_each(
        keys,
        [](std::int32_t key) {
          return CountedKey{static_cast<std::uint32_t>(key), 1};
        },
        room));
    // Keys that crowd the table (chosen to collide under a known seed) cost
    // a long probe each time they come: mixed, they spread over partitions.
    if (table_.crowded()) {
      move_to_partitions();
      return keys;
    }
    if (keys.empty()) return {};
    if (!grow_table()) {
      leave_table();
      return keys;
    }
  }
}

bool DiagonalTally::grow_table() {
  if (table_.bits() >= kMaxTableBits) return false;
  table_.grow();
  return true;
}

void DiagonalTally::leave_narrow(const KeyRange& range) {
  stage_ = Stage::few;
  if (narrow_.empty()) {  // the first keys were not close enough to start
    seen_ = range;
    return;
  }
  narrow_closed_ = true;
  // Keys seen once, up to 4 million of them when ascending keys leave the
  // window, go on in batches, as if read again: mixed in a vector loop,
  // not one at a time (descending keys: 5.98 against 6.33 ns per key).
  std::array<std::int32_t, kBatch> seen_once;
  std::size_t held = 0;
  narrow_.drain([&](std::int32_t key, std::uint32_t count) {
    if (count != 1) {
      add_counted(key, count);
      return;
    }
    seen_once[held++] = key;
    if (held == kBatch) {
      add(seen_once);
      held = 0;
    }
  });
  add(std::span(seen_once).first(held));
}

void DiagonalTally::leave_table() {
  if (narrow_closed_ || !narrow_.start(seen_, keys_)) {
    move_to_partitions();
    return;
  }
  // Many keys, but close together: the array counts them fastest.
  stage_ = Stage::narrow;
  table_.drain([this](const CountedKey& entry) { narrow_.add(static_cast<std::int32_t>(entry.key), entry.count); });
}

void DiagonalTally::move_to_partitions() {
  stage_ = Stage::many;
  // Keys seen once, most of them when a case outgrows the table, take the
  // batch path: mixed in a vector loop, not one at a time. They wait until
  // the table is empty, since a compaction that they may start resets it.
  seen_once_.clear();
  table_.drain([this](const CountedKey& entry) {
    if (entry.count == 1) {
      seen_once_.push_back(static_cast<std::int32_t>(entry.key));
    } else {
      add_counted(static_cast<std::int32_t>(entry.key), entry.count);
    }
  });
  add_to_partitions(seen_once_);
}

void DiagonalTally::add_counted(std::int32_t key, std::uint32_t count) {
  if (stage_ == Stage::few) {
    table_.add(static_cast<std::uint32_t>(key), count);
    if (table_.past_quarter_full() && !grow_table()) move_to_partitions();
    return;
  }
  const std::uint32_t mixed = key_hash::mix(static_cast<std::uint32_t>(key), seed_);
  policy_.note(mixed);
  partitions_.add_counted(mixed, count);
}

void DiagonalTally::add_to_partitions(std::span<const std::int32_t> keys) {
  // Mixing a batch first, in a loop of its own, keeps the mix's latency out
  // of the scattering.
  std::array<std::uint32_t, kBatch> mixed;
  for (; !keys.empty(); keys = keys.subspan(std::min(kBatch, keys.size()))) {
    const std::span<std::uint32_t> batch = std::span(mixed).first(std::min(kBatch, keys.size()));
    kernel_->mix(keys.data(), batch.data(), batch.size(), seed_);
    policy_.note(batch);
    for (const std::uint32_t key : batch) {
      if (partitions_.add(key)) {
        const std::size_t partition = Partitions::partition_of(key);
        if (policy_.should_compact(partition, partitions_.words(partition), partitions_.total_words())) {
          compact(partition);
        }
      }
    }
  }
}

void DiagonalTally::compact(std::size_t partition) {
  // Memory is tight: the table, empty since the case left it, gives its
  // pages back first. Cases too small to compact keep it for the next.
  if (table_.holds_memory_beyond(kFirstTableBits)) table_.release(kFirstTableBits);
  counter_.compact(partitions_, partition);
  policy_.compacted(partition, partitions_.words(partition));
}

std::uint64_t DiagonalTally::finish() {
  std::uint64_t sum = 0;
  // The next case starts with the table this one grew, or, if this one
  // ended in it, one just large enough for its keys: a stream of like
  // cases grows it once, and a small case after a large one shrinks it.
  unsigned next_table_bits = table_.bits();
  if (stage_ == Stage::narrow) {
    sum = narrow_.sum_and_clear();
  } else if (stage_ == Stage::few) {
    next_table_bits = std::clamp(CountingTable::bits_for(table_.size()), kFirstTableBits, next_table_bits);
    sum = table_.sum_and_clear();
  } else {
    const std::size_t words = partitions_.total_words();
    for (std::size_t partition = 0; partition < Partitions::kPartitions; ++partition) {
      if (partitions_.words(partition) != 0) {
        sum += counter_.sum_and_drop(partitions_, partition, policy_.likely_distinct(partition, words));
      }
    }
    partitions_.clear();
    policy_.clear();
    counter_.release_memory();
  }
  table_.reset(next_table_bits);
  stage_ = Stage::narrow;
  narrow_closed_ = false;
  keys_ = 0;
  return sum;
}

double pick_ratio(std::int64_t N, DiagonalTally& NEdiags, DiagonalTally& SEdiags) {
  const std::uint64_t NEdiags_sum = NEdiags.finish();
  return ratio_of_sums(N, NEdiags_sum, SEdiags.finish());
}

double ratio_of_sums(std::int64_t N, std::uint64_t NEdiags_sum, std::uint64_t SEdiags_sum) {
  // Unsigned arithmetic wraps where signed would overflow; converting back
  // to signed is modular, so wherever nothing overflows the values are
  // exactly the signed ones.
  const auto n = static_cast<std::uint64_t>(N);
  const auto resultativePicks = static_cast<std::int64_t>(NEdiags_sum + SEdiags_sum - (n + n));
  const auto celkem = static_cast<std::int64_t>(n * n);
  const double result = static_cast<double>(resultativePicks) / static_cast<double>(celkem);
  return result;
}

}  // namespace diagonal_picks
