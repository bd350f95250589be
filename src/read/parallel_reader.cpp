#include "read/parallel_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <system_error>
#include <vector>

namespace diagonal_picks {
namespace {

// Shares in the ring for each thread: enough that a thread rarely waits for
// a slot to be counted. Four took as long as two, and twice the memory.
constexpr std::size_t kSlotsPerThread = 2;

// Bytes per share at most from a stream, which the caller's thread reads
// and copies while `cat` or the like writes: shares of 256 KiB, each a
// whole enlarged pipe, took D through a pipe 0.115 s against 0.085 with 64
// KiB (41 interleaved runs; MID 0.160 against 0.109).
constexpr std::size_t kMostStreamShareBytes = std::size_t{64} << 10;

// Reads `count` bytes at `offset` into `buffer`, followed by the scanner's
// zero padding, which the buffer must have room for; returns where they
// start, or null where the file ends (or fails) before them.
const char* read_for_scanning(int fd, ReadBuffer& buffer, std::size_t count, std::uint64_t offset) {
  char* const bytes = buffer.at(offset);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::pread(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return nullptr;
    done += static_cast<std::size_t>(got);
  }
  std::fill_n(bytes + count, kScanPadding, '\0');
  return bytes;
}

// The file's bytes the kernel is asked to read ahead of the share being
// converted, a step at a time. Its own read-ahead follows one reader well,
// but the threads' reads arrive in turns and not always in order, so from
// a file not yet in memory they waited for the disk.
constexpr std::uint64_t kAdviseStep = std::uint64_t{2} << 20;
constexpr std::uint64_t kAdviseAhead = 3 * kAdviseStep;
// Nor past where the case would end were each of its numbers plain with
// one white space after it: asking for megabytes costs a small case more
// than reading it.
constexpr std::uint64_t kAdviseBytesPerNumber = 12;

// Whether a read of `fd` would return at once.
bool has_input(int fd) {
  pollfd waiting{fd, POLLIN, 0};
  return ::poll(&waiting, 1, 0) > 0;
}

}  // namespace

ParallelReader::ParallelReader(int fd, const Options& options, const ScanKernel& kernel)
    : fd_(fd), options_(options), scan_(kernel.scan) {
  options_.threads = std::min(options_.threads, kMostThreads);
  options_.owners = std::clamp<std::size_t>(options_.owners, 1, std::max<std::size_t>(options_.threads, 1));
  options_.share_bytes = std::max<std::size_t>(options_.share_bytes, 1);
  options_.min_points = std::max<std::int64_t>(options_.min_points, 1);
  options_.min_stream_points = std::max<std::int64_t>(options_.min_stream_points, 1);
  struct stat status {};
  usable_ = options_.threads >= 2 && ::fstat(fd, &status) == 0;
  stream_ = usable_ && !S_ISREG(status.st_mode);
  if (stream_) options_.share_bytes = std::min(options_.share_bytes, kMostStreamShareBytes);
}

std::size_t ParallelReader::share_bytes_for(std::int64_t N) const {
  // A point of two small numbers takes 8 or 9 bytes; a case of such points
  // still gives each thread two shares. Smaller shares cost a few reads
  // more, and a share that holds a whole small case leaves the other
  // threads nothing to do.
  const std::uint64_t per_thread =
      std::min<std::uint64_t>(static_cast<std::uint64_t>(N) / options_.threads, options_.share_bytes);
  return std::clamp<std::size_t>(per_thread * kSmallPointBytes / 2, std::min(kLeastShareBytes, options_.share_bytes),
                                 options_.share_bytes);
}

std::size_t ParallelReader::value_capacity() const { return (options_.share_bytes + kBoundarySearch) / 2 + 1; }

bool ParallelReader::start_team() {
  if (team_ != nullptr) return true;
  slot_count_ = kSlotsPerThread * options_.threads;
  slots_ = std::make_unique<Slot[]>(slot_count_);
  values_.prefer_huge_pages(true);
  values_.resize(slot_count_ * value_capacity());
  for (std::size_t slot = 0; slot < slot_count_; ++slot) {
    slots_[slot].values = values_.data() + slot * value_capacity();
    if (stream_) {
      slots_[slot].bytes =
          std::make_unique_for_overwrite<char[]>(options_.share_bytes + kBoundarySearch + kScanPadding);
    }
  }
  for (std::size_t thread = 0; thread < options_.threads && !stream_; ++thread) {
    bytes_.emplace_back(options_.share_bytes + kBoundarySearch + kScanPadding);
  }
  counted_ = std::make_unique<std::atomic<std::uint64_t>[]>(options_.owners);
  try {
    team_ = std::make_unique<ThreadTeam>(options_.threads);
    return true;
  } catch (const std::system_error&) {
    usable_ = false;  // no threads to be had: the caller reads alone
    return false;
  }
}

std::int64_t ParallelReader::read_points(InputReader& input, std::int64_t N, PointSink& sink) {
  if (!worth_splitting(N)) return 0;
  // A stream's offsets count from the case's first byte; a file's from its
  // own.
  std::uint64_t begin = 0;
  std::uint64_t file_end = std::numeric_limits<std::uint64_t>::max();
  const std::size_t share_bytes = share_bytes_for(N);
  if (!stream_) {
    const off_t here = ::lseek(fd_, 0, SEEK_CUR);
    struct stat status {};
    if (here < 0 || static_cast<std::uint64_t>(here) < input.buffered() || ::fstat(fd_, &status) != 0) return 0;
    begin = static_cast<std::uint64_t>(here) - input.buffered();
    file_end = static_cast<std::uint64_t>(status.st_size);
    if (file_end <= begin || file_end - begin < options_.threads * share_bytes) return 0;
  }
  if (!start_team()) return 0;

  share_bytes_ = share_bytes;
  begin_ = begin;
  file_end_ = file_end;
  // The case cannot hold more numbers than the file has bytes.
  tokens_wanted_ = 2 * std::min(static_cast<std::uint64_t>(N), file_end - begin);
  const std::uint64_t left = file_end - begin;
  share_count_.store(stream_ ? std::numeric_limits<std::uint64_t>::max() : (left + share_bytes - 1) / share_bytes,
                     std::memory_order_relaxed);
  filled_.store(0, std::memory_order_relaxed);
  input_ = &input;
  stream_read_ = 0;
  tail_size_ = 0;
  reading_over_ = false;
  sink_ = &sink;
  next_share_.store(0, std::memory_order_relaxed);
  converted_shares_.store(0, std::memory_order_relaxed);
  converted_tokens_.store(0, std::memory_order_relaxed);
  needed_.store(std::numeric_limits<std::uint64_t>::max(), std::memory_order_relaxed);
  for (std::size_t owner = 0; owner < options_.owners; ++owner) counted_[owner].store(0, std::memory_order_relaxed);
  for (std::size_t slot = 0; slot < slot_count_; ++slot) slots_[slot].holds.store(0, std::memory_order_relaxed);
  team_->run([this](std::size_t thread) { work(thread); });
  sink_ = nullptr;
  input_ = nullptr;

  // The exact reader goes on from where the threads stopped. (lseek cannot
  // fail here: it has just worked on this descriptor.)
  const Walk& walk = outcome_;
  if (stream_) {
    put_back_unused(input, walk.position);
  } else if (walk.position != begin) {
    static_cast<void>(::lseek(fd_, static_cast<off_t>(walk.position), SEEK_SET));
    input.discard_buffered(walk.position);
  }
  auto read = static_cast<std::int64_t>(walk.tokens / 2);
  if (walk.carry.has_value()) {
    // The exact reader starts at this point's Y.
    std::int32_t Y = 0;
    if (input.read_int32(Y) != ReadStatus::failed) {
      const std::array<std::int32_t, 2> point = {*walk.carry, Y};
      for (std::size_t owner = 0; owner < options_.owners; ++owner) sink.add(owner, point);
      ++read;
    }
  }
  return read;
}

void ParallelReader::work(std::size_t thread) {
  Walk walk;
  walk.position = begin_;
  walk.done = thread >= options_.owners;
  constexpr std::uint64_t kNoClaim = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t claim = kNoClaim;  // a share this thread is to convert
  bool claims_over = false;
  for (;;) {
    const std::uint32_t seen = events_.load(std::memory_order_acquire);
    bool progressed = !walk.done && count_ready(thread, walk);
    // The thread that reads a stream converts only when it cannot read.
    const bool read = stream_ && thread == 0 && !reading_over_ && read_share(walk);
    progressed = progressed || read;
    if (claim == kNoClaim && !claims_over && !read) {
      if (needed_.load(std::memory_order_acquire) != std::numeric_limits<std::uint64_t>::max()) {
        claims_over = true;  // an owner found the case's end: every share it needs is converted
      } else if (may_need_next_share()) {
        const std::uint64_t index = next_share_.fetch_add(1, std::memory_order_relaxed);
        claims_over = index >= share_count_.load(std::memory_order_acquire);
        if (!claims_over) claim = index;
      }
    }
    if (claim != kNoClaim &&
        (claim >= needed_.load(std::memory_order_acquire) || claim >= share_count_.load(std::memory_order_acquire))) {
      claim = kNoClaim;  // the case or the input ended before it; so does every later one
      claims_over = true;
    }
    if (claim != kNoClaim && ready_to_convert(claim)) {
      convert(thread, claim);
      claim = kNoClaim;
      progressed = true;
    }
    if (walk.done && claims_over && claim == kNoClaim) break;
    if (!progressed) wait_for_change(events_, seen);
  }
  if (thread == 0) outcome_ = walk;
}

bool ParallelReader::read_share(const Walk& walk) {
  if (walk.done || needed_.load(std::memory_order_acquire) != std::numeric_limits<std::uint64_t>::max()) {
    reading_over_ = true;
    return false;
  }
  const std::uint64_t index = filled_.load(std::memory_order_relaxed);  // written on this thread only
  if (!slot_free(index)) return false;
  // Wait for input only when every share read has been counted, so the
  // case surely needs more; else read only what is there already.
  if (walk.next != index && input_->buffered() == 0 && !has_input(fd_)) return false;
  char* const bytes = slots_[index % slot_count_].bytes.get();
  std::copy_n(tail_.data(), tail_size_, bytes);
  const std::size_t capacity = share_bytes_ + kBoundarySearch;
  const std::size_t got = input_->read_raw({bytes + tail_size_, capacity - tail_size_});
  const std::size_t size = tail_size_ + got;
  if (got == 0) {  // the input ended: what is left is the last share
    tail_size_ = 0;
    if (size > 0) publish_share(size);
    share_count_.store(index + (size > 0 ? 1 : 0), std::memory_order_release);
    reading_over_ = true;
    announce();
    return true;
  }
  // The share ends after its last white space, and the bytes after it
  // begin the next; a run of non-space longer than a plain number goes
  // with this one, to the exact reader.
  std::size_t end = size;
  while (end > 0 && !is_space(bytes[end - 1])) --end;
  if (size - end > kBoundarySearch) end = size;
  tail_size_ = size - end;
  std::copy_n(bytes + end, tail_size_, tail_.data());
  if (end > 0) publish_share(end);
  return true;
}

void ParallelReader::publish_share(std::size_t size) {
  const std::uint64_t index = filled_.load(std::memory_order_relaxed);
  Slot& slot = slots_[index % slot_count_];
  std::fill_n(slot.bytes.get() + size, kScanPadding, '\0');
  slot.share = Share{stream_read_, stream_read_ + size, stream_read_, 0, false};
  stream_read_ += size;
  filled_.store(index + 1, std::memory_order_release);
  announce();
}

bool ParallelReader::ready_to_convert(std::uint64_t index) const {
  return stream_ ? index < filled_.load(std::memory_order_acquire) : slot_free(index);
}

bool ParallelReader::may_need_next_share() const {
  const std::uint64_t next = next_share_.load(std::memory_order_relaxed);
  const std::uint64_t shares = converted_shares_.load(std::memory_order_acquire);
  const std::uint64_t tokens = converted_tokens_.load(std::memory_order_acquire);
  if (shares == next) return tokens < tokens_wanted_;
  // Shares still converting: an estimate, which keeps a small case from
  // claiming the whole ring past its end.
  return shares == 0 || static_cast<double>(next) * static_cast<double>(tokens) <
                            static_cast<double>(tokens_wanted_) * static_cast<double>(shares);
}

bool ParallelReader::slot_free(std::uint64_t index) const {
  if (index < slot_count_) return true;
  for (std::size_t owner = 0; owner < options_.owners; ++owner) {
    if (counted_[owner].load(std::memory_order_acquire) + slot_count_ <= index) return false;
  }
  return true;
}

void ParallelReader::advise_read_ahead(std::uint64_t index, std::uint64_t nominal_begin) const {
  const std::uint64_t shares_per_step = std::max<std::uint64_t>(1, kAdviseStep / share_bytes_);
  if (index % shares_per_step != 0) return;
  // The first share asks for the first steps too; each later step for one
  // more, so the advice stays kAdviseAhead ahead.
  const std::uint64_t from = index == 0 ? nominal_begin : nominal_begin + kAdviseAhead;
  const std::uint64_t left = file_end_ - begin_;
  const std::uint64_t advice_end =
      begin_ + (tokens_wanted_ < left / kAdviseBytesPerNumber ? tokens_wanted_ * kAdviseBytesPerNumber : left);
  const std::uint64_t to = std::min(nominal_begin + kAdviseAhead + kAdviseStep, advice_end);
  // Only advice: a failure changes nothing but the speed.
  if (from < to) {
    static_cast<void>(
        ::posix_fadvise(fd_, static_cast<off_t>(from), static_cast<off_t>(to - from), POSIX_FADV_WILLNEED));
  }
}

void ParallelReader::announce() {
  events_.fetch_add(1, std::memory_order_release);
  events_.notify_all();
}

void ParallelReader::convert(std::size_t thread, std::uint64_t index) {
  Slot& slot = slots_[index % slot_count_];
  Share& share = slot.share;
  const auto scan = [&](const char* first, const char* last) {
    const ScanResult scanned = scan_(first, last, slot.values, value_capacity());
    share.tokens = scanned.count;
    share.stop = share.begin + static_cast<std::uint64_t>(scanned.ptr - first);
    share.whole = scanned.stop == ScanStop::need_more && scanned.ptr == last;
    converted_tokens_.fetch_add(scanned.count, std::memory_order_relaxed);
  };
  if (stream_) {
    scan(slot.bytes.get(), slot.bytes.get() + (share.end - share.begin));
    publish(slot, index);
    return;
  }
  const std::uint64_t nominal_begin = begin_ + index * share_bytes_;
  advise_read_ahead(index, nominal_begin);
  const std::uint64_t nominal_end = std::min<std::uint64_t>(nominal_begin + share_bytes_, file_end_);
  const std::uint64_t read_end = std::min<std::uint64_t>(nominal_end + kBoundarySearch, file_end_);
  const auto size = static_cast<std::size_t>(read_end - nominal_begin);
  const char* const bytes = read_for_scanning(fd_, bytes_[thread], size, nominal_begin);  // null: the file shrank
  share = Share{nominal_begin, nominal_begin, nominal_begin, 0, false};

  // Just past the first white space at or after the file offset `nominal`:
  // where a share may begin or end, so that no number is cut. The threads
  // on either side see the same bytes there, so they agree.
  const auto boundary = [&](std::uint64_t nominal) -> std::optional<std::uint64_t> {
    if (nominal == file_end_) return file_end_;
    const std::uint64_t limit = std::min<std::uint64_t>(nominal + kBoundarySearch, file_end_);
    for (std::uint64_t at = nominal; at < limit; ++at) {
      if (is_space(bytes[at - nominal_begin])) return at + 1;
    }
    if (limit == file_end_) return file_end_;  // a number runs to the end of the file
    return std::nullopt;
  };
  if (bytes != nullptr) {
    const std::optional<std::uint64_t> first = index == 0 ? begin_ : boundary(nominal_begin);
    const std::optional<std::uint64_t> last = boundary(nominal_end);
    if (first.has_value() && last.has_value()) {
      share.begin = std::min(*first, *last);
      share.end = *last;
      scan(bytes + (share.begin - nominal_begin), bytes + (share.end - nominal_begin));
    }
  }
  publish(slot, index);
}

void ParallelReader::publish(Slot& slot, std::uint64_t index) {
  converted_shares_.fetch_add(1, std::memory_order_release);
  slot.holds.store(index + 1, std::memory_order_release);
  announce();
}

bool ParallelReader::count_ready(std::size_t owner, Walk& walk) {
  bool any = false;
  while (!walk.done) {
    if (walk.next == share_count_.load(std::memory_order_acquire)) {
      end_walk(walk, walk.position);  // the input ends inside the case
      break;
    }
    const Slot& slot = slots_[walk.next % slot_count_];
    if (slot.holds.load(std::memory_order_acquire) != walk.next + 1) break;
    count_share(owner, walk, slot);
    ++walk.next;
    counted_[owner].store(walk.next, std::memory_order_release);
    announce();
    any = true;
  }
  return any;
}

void ParallelReader::count_share(std::size_t owner, Walk& walk, const Slot& slot) {
  const Share& share = slot.share;
  const std::int32_t* const values = slot.values;
  const auto used = static_cast<std::size_t>(std::min<std::uint64_t>(share.tokens, tokens_wanted_ - walk.tokens));
  std::size_t i = 0;
  if (walk.carry.has_value() && used > 0) {
    const std::array<std::int32_t, 2> point = {*walk.carry, values[0]};
    sink_->add(owner, point);
    walk.carry.reset();
    i = 1;
  }
  const std::size_t pairs = (used - i) / 2;
  if (pairs > 0) sink_->add(owner, {values + i, 2 * pairs});
  i += 2 * pairs;
  if (i < used) walk.carry = values[i];
  walk.tokens += used;

  if (walk.tokens == tokens_wanted_) {
    // Only the caller's owner needs to know where the case ended.
    end_walk(walk, owner == 0 ? end_of_number(slot, used) : share.end);
    sink_->all_added(owner);
  } else if (!share.whole) {
    end_walk(walk, share.tokens > 0 ? share.stop : walk.position);
  } else {
    walk.position = share.end;
  }
}

void ParallelReader::end_walk(Walk& walk, std::uint64_t position) {
  walk.position = position;
  walk.done = true;
  needed_.store(walk.next + 1, std::memory_order_release);
  announce();
}

std::uint64_t ParallelReader::end_of_number(const Slot& slot, std::size_t count) {
  const Share& share = slot.share;
  const auto size = static_cast<std::size_t>(share.end - share.begin);
  const char* bytes = slot.bytes.get();
  if (!stream_) {
    // Owner 0 runs on thread 0, which is not converting now: its buffer is
    // free. The share is read again, since another thread converted it.
    bytes = read_for_scanning(fd_, bytes_[0], size, share.begin);
    if (bytes == nullptr) return share.end;  // the file changed under us
  }
  const char* at = bytes;
  std::array<std::int32_t, 256> scratch{};
  while (count > 0) {
    const ScanResult scanned = scan_(at, bytes + size, scratch.data(), std::min(count, scratch.size()));
    if (scanned.count == 0) return share.end;  // the file changed under us
    at = scanned.ptr;
    count -= scanned.count;
  }
  return share.begin + static_cast<std::uint64_t>(at - bytes);
}

void ParallelReader::put_back_unused(InputReader& input, std::uint64_t position) const {
  // The shares still in the ring, in order, then the bytes after the last.
  std::vector<char> unused;
  const std::uint64_t filled = filled_.load(std::memory_order_relaxed);
  for (std::uint64_t index = filled - std::min<std::uint64_t>(filled, slot_count_); index < filled; ++index) {
    const Slot& slot = slots_[index % slot_count_];
    if (slot.share.end <= position) continue;
    const std::uint64_t from = std::max(position, slot.share.begin) - slot.share.begin;
    unused.insert(unused.end(), slot.bytes.get() + from, slot.bytes.get() + (slot.share.end - slot.share.begin));
  }
  unused.insert(unused.end(), tail_.begin(), tail_.begin() + static_cast<std::ptrdiff_t>(tail_size_));
  input.put_back(unused);
}

}  // namespace diagonal_picks
