#include "diagonal_tally.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>

#include "out_of_memory.h"

namespace diagonal_picks {
namespace {

// Below this many pending keys a comparison sort beats three radix passes.
constexpr std::size_t kSmallSort = 256;
// The pending buffer holds at least this many keys, and at least a quarter
// of the runs, so that merging stays linear overall without holding as many
// unmerged keys as there are runs.
constexpr std::size_t kMinPending = std::size_t{1} << 15;
constexpr std::size_t kRunsPerPending = 4;

template <class T>
T* allocate_array(std::size_t count) {
  void* memory = std::malloc(std::max<std::size_t>(count, 1) * sizeof(T));
  if (memory == nullptr) out_of_memory();
  return static_cast<T*>(memory);
}

// Resizes in place where the allocator can (large blocks move by remapping
// pages, not copying), so growing the runs never holds two copies.
template <class T>
T* resize_array(T* data, std::size_t count) {
  void* memory = std::realloc(data, std::max<std::size_t>(count, 1) * sizeof(T));
  if (memory == nullptr) out_of_memory();
  return static_cast<T*>(memory);
}

// Sorts `keys` (with `scratch` of the same size) by their unsigned value and
// returns whichever of the two buffers holds the sorted keys. Least
// significant digit first, 8 bits a pass; a pass whose digit is the same for
// every key is skipped, so clustered keys cost fewer passes.
std::uint32_t* radix_sort(std::uint32_t* keys, std::uint32_t* scratch, std::size_t count) {
  if (count < kSmallSort) {
    std::sort(keys, keys + count);
    return keys;
  }
  constexpr unsigned kDigitBits = 8;
  constexpr unsigned kPasses = 32 / kDigitBits;
  constexpr std::uint32_t kMask = (1U << kDigitBits) - 1;
  std::array<std::array<std::size_t, std::size_t{1} << kDigitBits>, kPasses> histograms{};
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t key = keys[i];
    for (unsigned pass = 0; pass < kPasses; ++pass) ++histograms[pass][(key >> (pass * kDigitBits)) & kMask];
  }
  for (unsigned pass = 0; pass < kPasses; ++pass) {
    auto& histogram = histograms[pass];
    const unsigned shift = pass * kDigitBits;
    if (histogram[(keys[0] >> shift) & kMask] == count) continue;
    std::size_t offset = 0;
    for (auto& bucket : histogram) {
      const std::size_t size = bucket;
      bucket = offset;
      offset += size;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t key = keys[i];
      scratch[histogram[(key >> shift) & kMask]++] = key;
    }
    std::swap(keys, scratch);
  }
  return keys;
}

}  // namespace

DiagonalTally::DiagonalTally() {
  // Zeroed pages that are never touched cost no resident memory.
  table_ = static_cast<Entry*>(std::calloc(std::size_t{1} << kMaxBits, sizeof(Entry)));
  if (table_ == nullptr) out_of_memory();
}

DiagonalTally::~DiagonalTally() {
  std::free(table_);
  std::free(pending_);
  std::free(scratch_);
  release_sorted_lists();
}

bool DiagonalTally::insert_into_table(std::uint32_t key, std::size_t free_slot) {
  // Keep the load at most one half so probes stay short.
  if (2 * (table_size_ + 1) > (std::size_t{1} << table_bits_)) {
    if (table_bits_ == kMaxBits) {
      switch_to_sorting();
      return false;
    }
    grow_table();
    return !sorting_ && add_to_table(key);
  }
  table_[free_slot] = Entry{key, 1};
  ++table_size_;
  return true;
}

void DiagonalTally::grow_table() {
  const std::size_t old_capacity = std::size_t{1} << table_bits_;
  // The whole table array exists already, so rehash through a copy of the
  // occupied entries.
  Entry* const entries = allocate_array<Entry>(table_size_);
  std::size_t count = 0;
  for (std::size_t slot = 0; slot < old_capacity; ++slot) {
    if (table_[slot].count != 0) entries[count++] = table_[slot];
  }
  std::memset(table_, 0, old_capacity * sizeof(Entry));
  ++table_bits_;
  const std::size_t mask = (std::size_t{1} << table_bits_) - 1;
  bool probe_too_long = false;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t slot = home_slot(entries[i].key);
    unsigned probe = 0;
    while (table_[slot].count != 0) {
      slot = (slot + 1) & mask;
      ++probe;
    }
    probe_too_long |= probe >= kMaxProbe;
    table_[slot] = entries[i];
  }
  std::free(entries);
  if (probe_too_long) switch_to_sorting();
}

void DiagonalTally::switch_to_sorting() {
  const std::size_t capacity = std::size_t{1} << table_bits_;
  Entry* const entries = allocate_array<Entry>(table_size_);
  std::size_t count = 0;
  for (std::size_t slot = 0; slot < capacity; ++slot) {
    if (table_[slot].count != 0) entries[count++] = table_[slot];
  }
  std::sort(entries, entries + count, [](const Entry& a, const Entry& b) { return a.key < b.key; });
  singles_ = resize_array(singles_, count);
  multiples_ = resize_array(multiples_, count);
  singles_size_ = multiples_size_ = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (entries[i].count == 1) {
      singles_[singles_size_++] = entries[i].key;
    } else {
      multiples_[multiples_size_++] = entries[i];
    }
  }
  std::free(entries);
  std::memset(table_, 0, capacity * sizeof(Entry));
  table_bits_ = kInitialBits;
  table_size_ = 0;
  sorting_ = true;
  if (pending_capacity_ < kMinPending) {
    pending_capacity_ = kMinPending;
    pending_ = resize_array(pending_, pending_capacity_);
    scratch_ = resize_array(scratch_, pending_capacity_);
  }
  pending_size_ = 0;
}

// Sorts the pending keys and merges them, counted, into the two lists.
void DiagonalTally::merge_pending() {
  const std::uint32_t* const sorted = radix_sort(pending_, scratch_, pending_size_);
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < pending_size_; ++i) distinct += (i == 0 || sorted[i] != sorted[i - 1]) ? 1 : 0;

  // Merge from the back into both lists, grown by as many entries as there
  // are new distinct keys: a write position never falls below the next
  // unread entry of its list, so nothing is overwritten before it is read.
  const std::size_t singles_end = singles_size_ + distinct;
  const std::size_t multiples_end = multiples_size_ + distinct;
  singles_ = resize_array(singles_, singles_end);
  multiples_ = resize_array(multiples_, multiples_end);
  std::size_t single_read = singles_size_;
  std::size_t single_write = singles_end;
  std::size_t multiple_read = multiples_size_;
  std::size_t multiple_write = multiples_end;
  std::size_t key_end = pending_size_;
  while (key_end > 0) {
    const std::uint32_t key = sorted[key_end - 1];
    std::size_t key_begin = key_end - 1;
    while (key_begin > 0 && sorted[key_begin - 1] == key) --key_begin;
    auto count = static_cast<std::uint32_t>(key_end - key_begin);
    key_end = key_begin;
    while (single_read > 0 && singles_[single_read - 1] > key) singles_[--single_write] = singles_[--single_read];
    while (multiple_read > 0 && multiples_[multiple_read - 1].key > key) {
      multiples_[--multiple_write] = multiples_[--multiple_read];
    }
    if (single_read > 0 && singles_[single_read - 1] == key) {
      --single_read;
      ++count;
    } else if (multiple_read > 0 && multiples_[multiple_read - 1].key == key) {
      count += multiples_[--multiple_read].count;
    }
    if (count == 1) {
      singles_[--single_write] = key;
    } else {
      multiples_[--multiple_write] = Entry{key, count};
    }
  }
  // Entries below the read positions are in place; close the gaps above them.
  if (single_write != single_read) {
    std::memmove(singles_ + single_read, singles_ + single_write, (singles_end - single_write) * sizeof *singles_);
  }
  if (multiple_write != multiple_read) {
    std::memmove(multiples_ + multiple_read, multiples_ + multiple_write,
                 (multiples_end - multiple_write) * sizeof *multiples_);
  }
  singles_size_ = single_read + (singles_end - single_write);
  multiples_size_ = multiple_read + (multiples_end - multiple_write);
  multiples_ = resize_array(multiples_, multiples_size_);
  pending_size_ = 0;

  const std::size_t wanted = std::max(kMinPending, (singles_size_ + multiples_size_) / kRunsPerPending);
  if (wanted > pending_capacity_) {
    pending_capacity_ = wanted;
    pending_ = resize_array(pending_, pending_capacity_);
    scratch_ = resize_array(scratch_, pending_capacity_);
  }
}

std::uint64_t DiagonalTally::sum_of_squared_counts() {
  std::uint64_t sum = 0;
  const auto add_square = [&sum](const Entry& entry) { sum += std::uint64_t{entry.count} * entry.count; };
  if (sorting_) {
    merge_pending();
    sum += singles_size_;
    std::for_each(multiples_, multiples_ + multiples_size_, add_square);
  } else {
    std::for_each(table_, table_ + (std::size_t{1} << table_bits_), add_square);
  }
  return sum;
}

void DiagonalTally::release_sorted_lists() {
  std::free(singles_);
  std::free(multiples_);
  singles_ = nullptr;
  multiples_ = nullptr;
  singles_size_ = multiples_size_ = 0;
}

void DiagonalTally::clear() {
  std::memset(table_, 0, (std::size_t{1} << table_bits_) * sizeof(Entry));
  table_bits_ = kInitialBits;
  table_size_ = 0;
  sorting_ = false;
  pending_size_ = 0;
  // Release what a large case needed; keep the small buffers for the next.
  if (pending_capacity_ > kMinPending) {
    std::free(pending_);
    std::free(scratch_);
    pending_ = scratch_ = nullptr;
    pending_capacity_ = 0;
  }
  release_sorted_lists();
}

double pick_ratio(std::int64_t N, DiagonalTally& NEdiags, DiagonalTally& SEdiags) {
  const auto n = static_cast<std::uint64_t>(N);
  std::uint64_t resultativePicks = NEdiags.sum_of_squared_counts() + SEdiags.sum_of_squared_counts();
  resultativePicks -= n + n;
  const std::uint64_t celkem = n * n;
  // Converting to signed is modular, so the quotient of the wrapped values is
  // what signed 64-bit arithmetic would give wherever it does not overflow.
  return static_cast<double>(static_cast<std::int64_t>(resultativePicks)) /
         static_cast<double>(static_cast<std::int64_t>(celkem));
}

}  // namespace diagonal_picks
