#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "tally/page_array.h"

namespace diagonal_picks {

// Lists of values stored in fixed-size chunks drawn from one shared pool,
// so that thousands of lists can grow side by side without a mapping each
// and with at most one partly filled chunk per list. Released chunks are
// reused before the pool grows.
template <class T>
class ChunkPool {
 public:
  static constexpr std::size_t kChunkSize = 512 / sizeof(T);  // values in one 512-byte chunk
  static constexpr std::uint32_t kNoChunk = UINT32_MAX;

  // A list's chunks are linked from head to tail; all but the tail are full.
  struct List {
    std::uint32_t head = kNoChunk;
    std::uint32_t tail = kNoChunk;
    std::size_t size = 0;
  };

  // Appends values; a fixed number of them that fits in the tail chunk is
  // copied in one fixed-size move.
  template <std::size_t Count>
  void append(List& list, std::span<const T, Count> values) {
    const std::size_t used = list.size % kChunkSize;
    if constexpr (Count != std::dynamic_extent) {
      if (used != 0 && used + Count <= kChunkSize) {
        std::memcpy(&values_[list.tail * kChunkSize + used], values.data(), Count * sizeof(T));
        list.size += Count;
        return;
      }
    }
    append_across_chunks(list, values);
  }

  // Calls visit(span of values) for each chunk of the list, in order.
  template <class Visit>
  void for_each_run(const List& list, Visit visit) const {
    std::uint32_t chunk = list.head;
    for (std::size_t left = list.size; left > 0; chunk = next_[chunk]) {
      const std::size_t taken = std::min(kChunkSize, left);
      visit(std::span<const T>(&values_[chunk * kChunkSize], taken));
      left -= taken;
    }
  }

  // Empties the list and keeps its chunks for reuse.
  void release(List& list) {
    if (list.head != kNoChunk) {
      next_[list.tail] = free_;
      free_ = list.head;
    }
    list = List{};
  }

  // Forgets every list and gives back the memory beyond `kept_bytes`.
  void clear(std::size_t kept_bytes) {
    free_ = kNoChunk;
    values_.clear();
    next_.clear();
    values_.shrink_to(kept_bytes / sizeof(T));
    next_.shrink_to(kept_bytes / sizeof(T) / kChunkSize);
  }

 private:
  void append_across_chunks(List& list, std::span<const T> values) {
    while (!values.empty()) {
      const std::size_t used = list.size % kChunkSize;
      if (used == 0) link_new_chunk(list);
      const std::size_t taken = std::min(kChunkSize - used, values.size());
      std::copy_n(values.data(), taken, &values_[list.tail * kChunkSize + used]);
      list.size += taken;
      values = values.subspan(taken);
    }
  }

  void link_new_chunk(List& list) {
    std::uint32_t chunk = free_;
    if (chunk != kNoChunk) {
      free_ = next_[chunk];
    } else {
      chunk = static_cast<std::uint32_t>(next_.size());
      next_.push_back(kNoChunk);
      values_.resize(values_.size() + kChunkSize);
    }
    next_[chunk] = kNoChunk;
    if (list.tail == kNoChunk) {
      list.head = chunk;
    } else {
      next_[list.tail] = chunk;
    }
    list.tail = chunk;
  }

  PageArray<T> values_;            // chunk c holds values [c * kChunkSize, (c + 1) * kChunkSize)
  PageArray<std::uint32_t> next_;  // the chunk after c in its list, or in the free list
  std::uint32_t free_ = kNoChunk;
};

}  // namespace diagonal_picks
