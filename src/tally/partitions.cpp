#include "tally/partitions.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace diagonal_picks {
namespace {

// Chunks kept across cases, and the least a growth adds: 4 MiB.
constexpr std::size_t kKeptChunks = 1024;

}  // namespace

Partitions::Partitions(const BatchKernel& kernel) : kernel_(&kernel) {
  // Each fresh page costs a trap, and on some virtual machines a second one
  // into the host: about 10 us per 4 KiB page against 0.06 ns per byte in
  // huge pages on an AMD EPYC guest. With small pages, A11 with one CPU
  // took 0.398 s against 0.324, ONEPART 0.298 against 0.257 (7
  // interleaved runs).
  chunks_.prefer_huge_pages(true);
}

void Partitions::flush(std::size_t partition) {
  staged_[partition] = 0;
  total_words_ += kLineWords;
  List& list = lists_[partition];
  const std::uint32_t* const line = &lines_[partition * kLineWords];
  const std::size_t used = list.size % kChunkWords;
  // Full lines go to the chunks past the caches, which keeps the staging
  // lines and the tables there and spares reading each line of memory
  // before it is written; where words are read again (a compaction), they
  // come back from memory at the same cost. Streamed only where the line
  // fits whole, and aligned, in the last chunk or a new one: always, unless
  // counted words were written in between.
  if (used % 8 == 0 && used + kLineWords <= kChunkWords) {
    if (used == 0) add_chunk(list);
    kernel_->stream_line(&chunks_[list.tail * kChunkWords + used], line);
    list.size += kLineWords;
    streamed_ = true;
  } else {
    append_line<kLineWords>(list, line);
  }
}

void Partitions::add_chunk(List& list) {
  const std::uint32_t chunk = new_chunk();
  if (list.tail == kNoChunk) {
    list.head = chunk;
  } else {
    next_[list.tail] = chunk;
  }
  list.tail = chunk;
}

void Partitions::append(List& list, std::span<const std::uint32_t> words) {
  while (!words.empty()) {
    std::size_t used = list.size % kChunkWords;
    if (used == 0) add_chunk(list);
    const std::size_t taken = std::min(kChunkWords - used, words.size());
    std::copy_n(words.data(), taken, &chunks_[list.tail * kChunkWords + used]);
    list.size += taken;
    words = words.subspan(taken);
  }
}

void Partitions::reserve_chunks(std::size_t count) {
  const std::size_t chunks = next_.size() + count;
  if (chunks * kChunkWords > chunks_.capacity()) {
    // Grow by an eighth, not by doubling: remapping copies no data, and a
    // smaller step keeps the unused tail small.
    chunks_.reserve_exactly(std::max(chunks + chunks / 8, chunks + kKeptChunks) * kChunkWords);
  }
}

std::uint32_t Partitions::new_chunk() {
  std::uint32_t chunk = free_;
  if (chunk != kNoChunk) {
    free_ = next_[chunk];
  } else {
    chunk = static_cast<std::uint32_t>(next_.size());
    reserve_chunks(1);
    chunks_.resize((next_.size() + 1) * kChunkWords);
    next_.push_back(kNoChunk);
  }
  next_[chunk] = kNoChunk;
  return chunk;
}

Partitions::List Partitions::take(std::size_t partition) {
  // Staged words first go to the list, so that it holds them all.
  const std::size_t staged = staged_[partition];
  staged_[partition] = 0;
  append(partition, std::span<const std::uint32_t>(&lines_[partition * kLineWords], staged));
  total_words_ -= lists_[partition].size;
  return std::exchange(lists_[partition], List{});
}

void Partitions::clear() {
  // The next thread to write these chunks must not see streamed stores
  // land later.
  finish_streaming();
  lists_.fill(List{});
  staged_.fill(0);
  free_ = kNoChunk;
  total_words_ = 0;
  chunks_.clear();
  next_.clear();
  chunks_.shrink_to(kKeptChunks * kChunkWords);
  next_.shrink_to(kKeptChunks);
}

}  // namespace diagonal_picks
