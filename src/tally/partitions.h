#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "page_array.h"
#include "tally/batch_kernel.h"

namespace diagonal_picks {

// Holds many mixed keys in 256 partitions chosen by their top 8 bits, so
// that each partition can be counted on its own in tables that fit in
// cache.
//
// A partition holds words of 32 bits: the key's 24 bits below the partition
// bits, then a count of 1 to 255. A key seen once is one word; a counted
// key is as many words as its count needs. Each key is first staged in its
// partition's line of 64 words (four cache lines, 64 KiB for all, which
// stay in cache); a full line is copied to the partition's list of 4 KiB
// chunks, drawn from one pool, so the scattering writes touch few lines
// per partition and each list wastes at most one chunk. A line of 64 words
// measured 10 % faster than one of 16 on all-distinct keys, where each
// line's copy to memory not yet in cache stalled. Lists outside the
// partitions (a partition taken out to be counted, and its buckets) draw on
// the same pool: chunks freed as they are read are reused by what is
// written next, so counting needs no more memory than the words it reads.
// The pool takes huge pages (see PageArray): a fault per 2 MiB, not per 4
// KiB, which costs the partly used last huge page at most.
class Partitions {
 public:
  static constexpr unsigned kPartitionBits = 8;
  static constexpr std::size_t kPartitions = std::size_t{1} << kPartitionBits;
  static constexpr unsigned kCountBits = kPartitionBits;  // the word's low bits
  static constexpr std::uint32_t kMaxWordCount = (std::uint32_t{1} << kCountBits) - 1;
  static constexpr std::size_t kLineWords = 64;
  static constexpr std::size_t kChunkWords = 1024;
  static_assert(kLineWords == kStreamedLineWords);

  static std::size_t partition_of(std::uint32_t mixed) { return mixed >> (32 - kPartitionBits); }
  static std::uint32_t word_of(std::uint32_t mixed, std::uint32_t count) { return mixed << kCountBits | count; }
  // A word's key bits, 24 of them, and its count.
  static std::uint32_t key_of(std::uint32_t word) { return word >> kCountBits; }
  static std::uint32_t count_of(std::uint32_t word) { return word & kMaxWordCount; }
  // The mixed key of partition `partition` whose low bits are `key`.
  static std::uint32_t mixed_of(std::size_t partition, std::uint32_t key) {
    return static_cast<std::uint32_t>(partition << (32 - kPartitionBits)) | key;
  }

  // Words in chunks of the pool, in order.
  struct List {
    std::uint32_t head = UINT32_MAX;
    std::uint32_t tail = UINT32_MAX;
    std::size_t size = 0;
    // The top `grouped_bits` bits of the first `grouped` words never
    // decrease: they were written back bucket by bucket.
    std::size_t grouped = 0;
    unsigned grouped_bits = 0;
  };

  // `kernel` streams full lines to memory past the caches.
  explicit Partitions(const BatchKernel& kernel = best_batch_kernel());

  // Adds a key seen once. True when this filled its partition's line, which
  // then went to the partition's list.
  bool add(std::uint32_t mixed) { return stage(partition_of(mixed), word_of(mixed, 1)); }

  // Adds a key seen `count` times, count > 0, as few words as it needs.
  void add_counted(std::uint32_t mixed, std::uint32_t count) {
    for (; count > kMaxWordCount; count -= kMaxWordCount) stage(partition_of(mixed), word_of(mixed, kMaxWordCount));
    stage(partition_of(mixed), word_of(mixed, count));
  }

  // Appends words to a partition, or to a list of the caller's.
  void append(std::size_t partition, std::span<const std::uint32_t> words) {
    total_words_ += words.size();
    append(lists_[partition], words);
  }
  void append(List& list, std::span<const std::uint32_t> words);
  // Appends one full line of kWords words.
  template <std::size_t kWords>
  void append_line(List& list, const std::uint32_t* line) {
    const std::size_t used = list.size % kChunkWords;
    if (used != 0 && used + kWords <= kChunkWords) {  // the usual case: a fixed-size copy
      std::memcpy(&chunks_[list.tail * kChunkWords + used], line, sizeof(std::uint32_t) * kWords);
      list.size += kWords;
    } else {
      append(list, std::span<const std::uint32_t>(line, kWords));
    }
  }

  // Words in a partition, staged ones included, and in all partitions.
  std::size_t words(std::size_t partition) const { return lists_[partition].size + staged_[partition]; }
  std::size_t total_words() const { return total_words_; }

  // Takes a partition's words out as a list, staged ones included, and
  // leaves the partition empty.
  List take(std::size_t partition);

  // Records that the partition's words so far, none of them staged, are
  // grouped by their top `bits` bits (see List).
  void set_grouped(std::size_t partition, unsigned bits) {
    List& list = lists_[partition];
    list.grouped = list.size;
    list.grouped_bits = bits;
  }

  // Calls visit(span of words) for each run of the list, in order.
  template <class Visit>
  void for_each_run(const List& list, Visit visit) const {
    std::uint32_t chunk = list.head;
    for (std::size_t left = list.size; left > 0; chunk = next_[chunk]) {
      const std::size_t taken = std::min(kChunkWords, left);
      if (taken < left) ask_for_start(next_[chunk]);
      visit(std::span<const std::uint32_t>(&chunks_[chunk * kChunkWords], taken));
      left -= taken;
    }
  }

  // Frees the list's chunks for reuse; the list ends empty.
  void release(List& list) {
    if (list.head != kNoChunk) {
      next_[list.tail] = free_;
      free_ = list.head;
    }
    list = List{};
  }

  // Calls visit(span of words) for each run of the list, in order, and
  // frees each chunk once visited: the list ends empty. Visit may append
  // to other lists, taking at most `new_chunks` chunks beyond those freed;
  // they are reserved first, so the runs being visited never move.
  template <class Visit>
  void drain(List& list, std::size_t new_chunks, Visit visit) {
    reserve_chunks(new_chunks);
    while (list.size > 0) {
      const std::size_t taken = std::min(kChunkWords, list.size);
      if (taken < list.size) ask_for_start(next_[list.head]);
      visit(std::span<const std::uint32_t>(&chunks_[list.head * kChunkWords], taken));
      list.size -= taken;
      const std::uint32_t next = next_[list.head];
      next_[list.head] = free_;
      free_ = list.head;
      list.head = next;
    }
    list = List{};
  }

  // Orders the lines streamed since the last call before this thread's
  // later stores, so that a thread that synchronises with it afterwards
  // sees them.
  void finish_streaming() {
    if (streamed_) kernel_->finish_streaming();
    streamed_ = false;
  }

  // Empties every partition; keeps a few MiB of chunks for the next case.
  // Lines streamed to them are then seen by every thread.
  void clear();

 private:
  static constexpr std::uint32_t kNoChunk = UINT32_MAX;
  // A list's chunks lie anywhere in the pool, so the processor's own
  // prefetching, which follows a stream within a page, restarts at each.
  // Asking for the first lines of the next chunk while this one is read
  // hides that: W-like 5.5 against 5.8 ns per key, one-partition 12.2
  // against 13.1 (4 or 16 lines did no better, the whole chunk worse).
  static constexpr std::size_t kAskedLines = 8;

  void ask_for_start(std::uint32_t chunk) const {
    const char* const start = reinterpret_cast<const char*>(&chunks_[chunk * kChunkWords]);
    for (std::size_t line = 0; line < kAskedLines; ++line) __builtin_prefetch(start + 64 * line);
  }

  // Stages a word in its partition's line; true when that filled the line.
  bool stage(std::size_t partition, std::uint32_t word) {
    std::uint16_t& staged = staged_[partition];
    lines_[partition * kLineWords + staged] = word;
    if (++staged < kLineWords) return false;
    flush(partition);
    return true;
  }
  void flush(std::size_t partition);
  // Links a new chunk to the end of the list, whose last one is full.
  void add_chunk(List& list);
  std::uint32_t new_chunk();
  void reserve_chunks(std::size_t count);

  std::array<std::uint32_t, kPartitions * kLineWords> lines_{};
  // Not the words' type, which the stores of words could alias.
  std::array<std::uint16_t, kPartitions> staged_{};
  std::array<List, kPartitions> lists_{};
  PageArray<std::uint32_t> chunks_;  // chunk c holds words [c * kChunkWords, (c + 1) * kChunkWords)
  PageArray<std::uint32_t> next_;    // the chunk after c in its list, or in the free list
  std::uint32_t free_ = kNoChunk;
  std::size_t total_words_ = 0;  // in the lists
  const BatchKernel* kernel_;
  bool streamed_ = false;  // since the last finish_streaming()
};

}  // namespace diagonal_picks
