#include "diagonal_tally.h"

#include <sys/mman.h>
#include <unistd.h>

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
// The pending buffer holds at least this many keys, and at least half as
// many as the lists, so a merge costs at most about three times the keys it
// brings in. A larger buffer merges less but costs memory, and sorts runs of
// ordered keys (descending, say) markedly slower once it outgrows the caches.
constexpr std::size_t kMinPending = std::size_t{1} << 15;
constexpr std::size_t kRunsPerPending = 2;

// A sorting-phase buffer larger than this is released when its case ends;
// smaller ones are kept, so a stream of small cases makes no system calls.
constexpr std::size_t kKeptBytes = std::size_t{256} << 10;

// Room before each array for the size of its mapping, keeping the array
// aligned to a cache line.
constexpr std::size_t kMappingHeader = 64;

std::size_t mapping_bytes(const void* data) {
  std::size_t bytes = 0;
  if (data != nullptr) std::memcpy(&bytes, static_cast<const char*>(data) - kMappingHeader, sizeof bytes);
  return bytes;
}

// The large arrays live in page mappings of their own: they grow and shrink
// by remapping pages, and released pages go back to the system at once, so
// a long case cannot fragment the heap. Fresh pages read as zero.

// Moves a mapping of `current` bytes to one of `wanted` bytes and returns
// it, or MAP_FAILED. Linux remaps the pages in place or moves them without
// copying; elsewhere the contents are copied to a fresh mapping.
void* remap(void* mapping, std::size_t current, std::size_t wanted) {
#if defined(__linux__) && !defined(DIAGONAL_PICKS_POSIX_FALLBACK)
  return ::mremap(mapping, current, wanted, MREMAP_MAYMOVE);
#else
  if (wanted < current) {
    ::munmap(static_cast<char*>(mapping) + wanted, current - wanted);  // whole pages, so this cannot fail
    return mapping;
  }
  void* const moved = ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (moved == MAP_FAILED) return MAP_FAILED;
  std::memcpy(moved, mapping, current);
  ::munmap(mapping, current);
  return moved;
#endif
}

template <class T>
T* resize_mapping(T* data, std::size_t count) {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t wanted = (count * sizeof(T) + kMappingHeader + page - 1) / page * page;
  const std::size_t current = mapping_bytes(data);
  if (wanted == current) return data;
  void* const mapped = data == nullptr
                           ? ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                           : remap(reinterpret_cast<char*>(data) - kMappingHeader, current, wanted);
  if (mapped == MAP_FAILED) out_of_memory();
  std::memcpy(mapped, &wanted, sizeof wanted);
  return reinterpret_cast<T*>(static_cast<char*>(mapped) + kMappingHeader);
}

template <class T>
void release_mapping(T*& data) {
  if (data != nullptr) ::munmap(reinterpret_cast<char*>(data) - kMappingHeader, mapping_bytes(data));
  data = nullptr;
}

// A temporary array, for rehashing.
template <class T>
T* allocate_array(std::size_t count) {
  void* memory = std::malloc(std::max<std::size_t>(count, 1) * sizeof(T));
  if (memory == nullptr) out_of_memory();
  return static_cast<T*>(memory);
}

// Sorts `keys` (with `scratch` of the same size) by their unsigned value and
// returns whichever of the two buffers holds the sorted keys. Least
// significant digit first, 8 bits a pass; a pass whose digit is the same for
// every key is skipped, so clustered keys cost fewer passes, and sorted keys
// cost none.
std::uint32_t* radix_sort(std::uint32_t* keys, std::uint32_t* scratch, std::size_t count) {
  if (count < kSmallSort) {
    std::sort(keys, keys + count);
    return keys;
  }
  constexpr unsigned kDigitBits = 8;
  constexpr unsigned kPasses = 32 / kDigitBits;
  constexpr std::uint32_t kMask = (1U << kDigitBits) - 1;
  std::array<std::array<std::size_t, std::size_t{1} << kDigitBits>, kPasses> histograms{};
  bool ascending = true;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t key = keys[i];
    for (unsigned pass = 0; pass < kPasses; ++pass) ++histograms[pass][(key >> (pass * kDigitBits)) & kMask];
    ascending &= i == 0 || keys[i - 1] <= key;
  }
  // Keys that arrive in order need no passes (and would make every pass
  // write to all buckets in turn).
  if (ascending) return keys;
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

// Zeroed pages that are never touched cost no resident memory.
DiagonalTally::DiagonalTally() : table_(resize_mapping<Entry>(nullptr, std::size_t{1} << kMaxBits)) {}

DiagonalTally::~DiagonalTally() {
  release_mapping(table_);
  release_mapping(pending_);
  release_mapping(scratch_);
  release_mapping(singles_);
  release_mapping(multiples_);
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
  auto* const entries = allocate_array<Entry>(table_size_);
  std::size_t count = 0;
  for (std::size_t slot = 0; slot < old_capacity; ++slot) {
    if (table_[slot].count != 0) entries[count++] = table_[slot];
  }
  std::memset(table_, 0, old_capacity * sizeof(Entry));
  ++table_bits_;
  const std::size_t mask = (std::size_t{1} << table_bits_) - 1;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t slot = home_slot(entries[i].key);
    for (unsigned probe = 0; table_[slot].count != 0; ++probe, slot = (slot + 1) & mask) {
      if (probe == kMaxProbe) {
        // A flooded hash: count these keys by sorting instead, from a copy
        // packed at the front of the table, so that rehashing stays linear.
        std::memset(table_, 0, (mask + 1) * sizeof(Entry));
        std::memcpy(table_, entries, count * sizeof(Entry));
        std::free(entries);
        switch_to_sorting();
        return;
      }
    }
    table_[slot] = entries[i];
  }
  std::free(entries);
}

void DiagonalTally::switch_to_sorting() {
  const std::size_t capacity = std::size_t{1} << table_bits_;
  singles_ = resize_mapping(singles_, table_size_);
  multiples_ = resize_mapping(multiples_, table_size_);
  singles_size_ = multiples_size_ = 0;
  for (std::size_t slot = 0; slot < capacity; ++slot) {
    const Entry entry = table_[slot];
    if (entry.count == 1) {
      singles_[singles_size_++] = entry.key;
    } else if (entry.count > 1) {
      multiples_[multiples_size_++] = entry;
    }
  }
  std::sort(singles_, singles_ + singles_size_);
  std::sort(multiples_, multiples_ + multiples_size_, [](const Entry& a, const Entry& b) { return a.key < b.key; });
  std::memset(table_, 0, capacity * sizeof(Entry));
  table_bits_ = kInitialBits;
  table_size_ = 0;
  sorting_ = true;
  reserve_pending(kMinPending);
  pending_size_ = 0;
}

// Grows the pending buffer, and the radix sort's scratch with it, to hold at
// least `keys` keys.
void DiagonalTally::reserve_pending(std::size_t keys) {
  if (keys <= pending_capacity_) return;
  pending_capacity_ = keys;
  pending_ = resize_mapping(pending_, keys);
  scratch_ = resize_mapping(scratch_, keys);
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
  singles_ = resize_mapping(singles_, singles_end);
  multiples_ = resize_mapping(multiples_, multiples_end);
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
  // Return the pages the merge no longer needs.
  singles_ = resize_mapping(singles_, singles_size_);
  multiples_ = resize_mapping(multiples_, multiples_size_);
  pending_size_ = 0;

  reserve_pending((singles_size_ + multiples_size_) / kRunsPerPending);
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

void DiagonalTally::clear() {
  std::memset(table_, 0, (std::size_t{1} << table_bits_) * sizeof(Entry));
  table_bits_ = kInitialBits;
  table_size_ = 0;
  sorting_ = false;
  pending_size_ = singles_size_ = multiples_size_ = 0;
  // Release what a large case needed; keep the small buffers for the next.
  if (mapping_bytes(pending_) > kKeptBytes) {
    release_mapping(pending_);
    release_mapping(scratch_);
    pending_capacity_ = 0;
  }
  if (mapping_bytes(singles_) > kKeptBytes) release_mapping(singles_);
  if (mapping_bytes(multiples_) > kKeptBytes) release_mapping(multiples_);
}

double pick_ratio(std::int64_t N, DiagonalTally& NEdiags, DiagonalTally& SEdiags) {
  // Unsigned arithmetic wraps where signed would overflow; converting back
  // to signed is modular, so wherever nothing overflows the values are
  // exactly the signed ones.
  const auto n = static_cast<std::uint64_t>(N);
  const std::uint64_t ne = NEdiags.sum_of_squared_counts();
  const std::uint64_t se = SEdiags.sum_of_squared_counts();
  const auto resultativePicks = static_cast<std::int64_t>(ne + se - (n + n));
  const auto celkem = static_cast<std::int64_t>(n * n);
  const double result = static_cast<double>(resultativePicks) / static_cast<double>(celkem);
  return result;
}

}  // namespace diagonal_picks
