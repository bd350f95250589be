#include "tally/partition_counter.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <span>

namespace diagonal_picks {
namespace {

constexpr unsigned kKeyBits = 32 - Partitions::kPartitionBits;

// Table bits for `words` words: at least 64 slots.
unsigned table_bits_for(std::size_t words) { return std::max(6U, CountingTable::bits_for(words)); }

// Bits to split a list of `words` words by, whose first `shared_bits` key
// bits are the same: enough for buckets small enough for a table in cache.
unsigned split_bits(std::size_t words, unsigned shared_bits) {
  if (words <= PartitionCounter::kMaxTableWords) return 0;
  const auto bits = static_cast<unsigned>(std::bit_width((words - 1) / PartitionCounter::kBucketWords));
  return std::min({PartitionCounter::kMaxSplitBits, kKeyBits - shared_bits, bits});
}

// How far ahead of its mark a key's bitmap word is asked for.
constexpr std::size_t kMarkAhead = 16;

CountedKey split_word(std::uint32_t word) { return {Partitions::key_of(word), Partitions::count_of(word)}; }

}  // namespace

PartitionCounter::PartitionCounter(std::uint64_t slot_factor) : table_(6, slot_factor) {
  lines_.resize(kSplitLineWords * kMaxSplitBuckets);
  // Keys mark words all over the bitmap, which in small pages span more
  // pages than the translation caches hold: W with two CPUs took 0.155
  // against 0.168 s (15 interleaved runs). Any list that uses the bitmap
  // touches every page of it, so huge pages cost no memory.
  bitmap_.prefer_huge_pages(true);
}

void PartitionCounter::compact(Partitions& partitions, std::size_t partition) {
  Partitions::List list = partitions.take(partition);
  const unsigned bits = split_bits(list.size, 0);
  count_partition(partitions, list, partition, true);
  // Written back bucket by bucket: the next count need not split them.
  partitions.set_grouped(partition, bits);
}

std::uint64_t PartitionCounter::sum_and_drop(Partitions& partitions, std::size_t partition, bool likely_distinct) {
  Partitions::List list = partitions.take(partition);
  // Keys that are likely distinct: a bitmap of all the key bits finds the
  // few that repeat in one pass, with no split and no table.
  if (likely_distinct && list.size >= kMinBitmapWords) {
    if (const std::optional<std::uint64_t> sum = sum_from_bitmap(partitions, list)) {
      partitions.release(list);
      return *sum;
    }
  }
  return count_partition(partitions, list, partition, false);
}

std::uint64_t PartitionCounter::count_partition(Partitions& partitions, Partitions::List& list, std::size_t partition,
                                                bool write_back) {
  const std::uint64_t sum = count(partitions, list, 0, partition, write_back);
  flush_written(partitions, partition);  // nothing to flush when not written back
  return sum;
}

std::uint64_t PartitionCounter::count(Partitions& partitions, Partitions::List& list, unsigned shared_bits,
                                      std::size_t partition, bool write_back) {
  const unsigned bits = split_bits(list.size, shared_bits);
  if (bits > 0) {
    // Split by the next key bits into buckets, each staged in a line.
    std::vector<Partitions::List> buckets(std::size_t{1} << bits);
    const unsigned shift = 32 - shared_bits - bits;
    const std::uint32_t mask = (std::uint32_t{1} << bits) - 1;
    const auto bucket_of = [&](std::uint32_t word) -> std::size_t { return (word >> shift) & mask; };
    // Words grouped by at least these bits go to their buckets a stretch
    // at a time.
    std::size_t grouped = list.grouped_bits >= bits ? list.grouped : 0;
    const auto append_grouped = [&](std::span<const std::uint32_t> words) {
      while (!words.empty()) {
        const std::size_t bucket = bucket_of(words.front());
        const auto end = std::partition_point(words.begin(), words.end(),
                                              [&](std::uint32_t word) { return bucket_of(word) == bucket; });
        const auto stretch = static_cast<std::size_t>(end - words.begin());
        partitions.append(buckets[bucket], words.first(stretch));
        words = words.subspan(stretch);
      }
    };
    // A line's last word counts the words staged in it, until the last of
    // them takes its place: the count and the word's place share one cache
    // line, where an array of counts apart (8 KiB for 4,096 buckets) took a
    // second one per word.
    constexpr std::size_t kLast = kSplitLineWords - 1;
    // Each bucket may take one chunk more than its words fill.
    partitions.drain(list, buckets.size() + 1, [&](std::span<const std::uint32_t> run) {
      const std::size_t stretch = std::min(grouped, run.size());
      grouped -= stretch;
      append_grouped(run.first(stretch));
      std::uint32_t* const lines = lines_.data();
      for (const std::uint32_t word : run.subspan(stretch)) {
        const std::size_t bucket = bucket_of(word);
        std::uint32_t* const line = &lines[bucket * kSplitLineWords];
        const std::uint32_t staged = line[kLast];  // at most kLast
        line[staged] = word;
        if (staged == kLast) {
          partitions.append_line<kSplitLineWords>(buckets[bucket], line);
          line[kLast] = 0;
        } else {
          line[kLast] = staged + 1;
        }
      }
    });
    for (std::size_t bucket = 0; bucket < buckets.size(); ++bucket) {
      std::uint32_t* const line = &lines_[bucket * kSplitLineWords];
      partitions.append(buckets[bucket], std::span(line, line[kLast]));
      line[kLast] = 0;
    }
    std::uint64_t sum = 0;
    for (Partitions::List& bucket : buckets)
      sum += count(partitions, bucket, shared_bits + bits, partition, write_back);
    return sum;
  }
  // The list is read in place (nothing is written until it is counted)
  // and freed once counted.
  count_in_table(partitions, list);
  partitions.release(list);
  std::uint64_t squares = 0;
  const auto count_key = [&](const CountedKey& counted) {
    squares += std::uint64_t{counted.count} * counted.count;
    if (write_back) write(partitions, partition, counted);
  };
  table_.drain(count_key);
  return squares;
}

void PartitionCounter::count_in_table(const Partitions& partitions, const Partitions::List& list) {
  table_.reset(table_bits_for(list.size));  // empty: emptied as it was visited
  partitions.for_each_run(list, [&](std::span<const std::uint32_t> run) { fill_table(run); });
}

void PartitionCounter::fill_table(std::span<const std::uint32_t> words) { table_.add_each(words, split_word); }

std::optional<std::uint64_t> PartitionCounter::sum_from_bitmap(const Partitions& partitions,
                                                               const Partitions::List& list) {
  // Number this sum; when the numbers wrap, the words marked with old ones
  // are zeroed, once in 2^32 sums.
  if (++bitmap_sum_ == 0) {
    std::ranges::fill(bitmap_.span(), 0);
    bitmap_sum_ = 1;
  }
  bitmap_.resize((std::size_t{1} << kKeyBits) / kBitmapWordKeys);
  const std::uint64_t this_sum = bitmap_sum_;
  // Mark each key; a key found marked repeats.
  repeated_.clear();
  std::uint64_t counts = 0;
  std::uint64_t squares = 0;
  partitions.for_each_run(list, [&](std::span<const std::uint32_t> run) {
    for (std::size_t at = 0; at < run.size(); ++at) {
      // The bitmap lies in the last-level cache: asking for the words of
      // keys ahead overlaps their latencies.
      if (at + kMarkAhead < run.size()) {
        __builtin_prefetch(&bitmap_[Partitions::key_of(run[at + kMarkAhead]) / kBitmapWordKeys], 1);
      }
      const std::uint32_t word = run[at];
      const std::uint32_t key = Partitions::key_of(word);
      const std::uint64_t bit = std::uint64_t{1} << (32 + key % kBitmapWordKeys);
      std::uint64_t& slot = bitmap_[key / kBitmapWordKeys];
      // A word marked by an earlier sum starts empty.
      const std::uint64_t bits = static_cast<std::uint32_t>(slot) == this_sum ? slot : this_sum;
      if ((bits & bit) != 0) [[unlikely]] {
        repeated_.push_back(word);
      }
      slot = bits | bit;
      const std::uint64_t count = Partitions::count_of(word);
      counts += count;
      squares += count * count;
    }
  });
  // Where keys repeat, the sum follows only if every word counts one: a key
  // seen c times was then found marked c - 1 times, which the table counts.
  // Many repeats are left to the table with the whole list instead.
  if (repeated_.empty()) return squares;
  if (counts != list.size || repeated_.size() > list.size / 4) return std::nullopt;
  table_.reset(table_bits_for(repeated_.size()));
  fill_table(repeated_);
  table_.drain([&](const CountedKey& counted) {
    const std::uint64_t found = counted.count;  // c - 1, for a key that adds c * c
    squares += found * found + found;           // c * c less the c ones summed
  });
  return squares;
}

void PartitionCounter::write(Partitions& partitions, std::size_t partition, CountedKey counted) {
  for (std::uint32_t left = counted.count; left > 0;) {
    const std::uint32_t count = std::min(left, Partitions::kMaxWordCount);
    written_[written_size_++] = counted.key << Partitions::kCountBits | count;
    left -= count;
    if (written_size_ == written_.size()) flush_written(partitions, partition);
  }
}

void PartitionCounter::flush_written(Partitions& partitions, std::size_t partition) {
  partitions.append(partition, std::span(written_).first(written_size_));
  written_size_ = 0;
}

void PartitionCounter::release_memory() { table_.release(6); }

}  // namespace diagonal_picks
