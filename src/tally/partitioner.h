#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "tally/chunk_pool.h"
#include "tally/counting_table.h"
#include "tally/page_array.h"

namespace diagonal_picks {

// Scatters mixed keys over a few thousand partitions by their top bits, so
// that each partition can later be counted in a table that fits in cache.
//
// A key is first staged in its partition's line, one cache line of keys;
// only full lines are copied out, so the scattering writes touch one line
// per partition instead of one page. Each partition holds two lists: its
// keys, each seen once as far as the list knows, and its counted keys,
// which a compaction wrote with their counts.
class Partitioner {
 public:
  static constexpr unsigned kPartitionBits = 11;
  static constexpr std::size_t kPartitions = std::size_t{1} << kPartitionBits;
  static constexpr std::size_t kLineKeys = 64 / sizeof(std::uint32_t);

  static std::size_t partition_of(std::uint32_t key) { return key >> (32 - kPartitionBits); }

  // Each partition is first due when it holds `first_due` keys.
  explicit Partitioner(std::size_t first_due);

  // Adds one key. True when its partition's keys have just reached the
  // number set as due for it; due_partition() then names the partition.
  bool add(std::uint32_t key) {
    const std::size_t partition = partition_of(key);
    std::uint16_t& staged = staged_[partition];
    staging_[partition * kLineKeys + staged] = key;
    if (++staged < kLineKeys) return false;
    return flush(partition);
  }
  std::size_t due_partition() const { return due_partition_; }

  // The keys of a partition, staged ones included, as calls to
  // visit(span of keys); and its counted keys, as visit(span of CountedKey).
  template <class Visit>
  void for_each_key_run(std::size_t partition, Visit visit) const {
    keys_.for_each_run(partitions_[partition].keys, visit);
    visit(std::span<const std::uint32_t>(&staging_[partition * kLineKeys], staged_[partition]));
  }
  template <class Visit>
  void for_each_counted_run(std::size_t partition, Visit visit) const {
    counted_.for_each_run(partitions_[partition].counted, visit);
  }
  std::size_t key_count(std::size_t partition) const { return partitions_[partition].keys.size + staged_[partition]; }
  std::size_t counted_count(std::size_t partition) const { return partitions_[partition].counted.size; }

  // Calls visit(partition) for every partition that holds keys, in order.
  // Costs a scan of the staging counts, whatever the number of keys.
  template <class Visit>
  void for_each_partition_in_use(Visit visit) const {
    for (std::size_t word = 0; word < listed_.size(); ++word) {
      const std::uint64_t in_use = listed_[word] | staged_partitions(word);
      for (std::uint64_t left = in_use; left != 0; left &= left - 1) {
        visit(word * 64 + static_cast<std::size_t>(std::countr_zero(left)));
      }
    }
  }

  // The number of partitions whose lists have held keys, at least 1.
  std::size_t partitions_in_use() const {
    std::size_t in_use = 0;
    for (const std::uint64_t word : listed_) in_use += static_cast<std::size_t>(std::popcount(word));
    return std::max<std::size_t>(in_use, 1);
  }

  // Rewriting a partition: empty it, append what it should hold, and set
  // how many keys it may take before add() reports it due again.
  void empty(std::size_t partition);
  void append_keys(std::size_t partition, std::span<const std::uint32_t> keys) {
    list(partition);
    keys_.append(partitions_[partition].keys, keys);
  }
  void append_counted(std::size_t partition, std::span<const CountedKey> counted) {
    list(partition);
    counted_.append(partitions_[partition].counted, counted);
  }
  void set_due(std::size_t partition, std::size_t keys) { partitions_[partition].due = keys; }

  // Empties every partition and makes each due at its first due size
  // again; keeps enough memory that the next case of moderate size maps no
  // new pages. Costs little when few partitions were in use.
  void clear();

 private:
  struct Partition {
    ChunkPool<std::uint32_t>::List keys;
    ChunkPool<CountedKey>::List counted;
    std::size_t due = 0;
  };

  bool flush(std::size_t partition);
  // One bit for each of partitions 64 * word to 64 * word + 63 that has
  // staged keys.
  std::uint64_t staged_partitions(std::size_t word) const;
  Partition empty_partition() const {
    Partition partition;
    partition.due = first_due_;
    return partition;
  }
  // Notes that the partition's lists may hold keys.
  void list(std::size_t partition) { listed_[partition / 64] |= std::uint64_t{1} << (partition % 64); }

  PageArray<std::uint32_t> staging_;  // kLineKeys keys per partition
  // Not a character type, which could alias every other member and force
  // reloads in the hot loop.
  std::array<std::uint16_t, kPartitions> staged_{};
  std::array<std::uint64_t, kPartitions / 64> listed_{};  // one bit per partition
  PageArray<Partition> partitions_;
  ChunkPool<std::uint32_t> keys_;
  ChunkPool<CountedKey> counted_;
  std::size_t due_partition_ = 0;
  std::size_t first_due_;
};

}  // namespace diagonal_picks
