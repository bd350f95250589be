#include "diagonal_counter.h"

#include <sched.h>

#include <algorithm>
#include <system_error>
#include <utility>

namespace diagonal_picks {

unsigned allowed_cpus() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
  return static_cast<unsigned>(std::max(CPU_COUNT(&cpus), 1));
}

DiagonalCounter::DiagonalCounter(unsigned cpus) : cpus_(cpus) {}

void DiagonalCounter::add(std::span<const std::int32_t> coordinates) {
  coordinates = coordinates.first(coordinates.size() / 2 * 2);
  if (!threads_count_this_case_ && cpus_ >= 2 && case_points_ + coordinates.size() / 2 >= kThreadPoints) {
    // Up to the threshold here; the rest on the threads, which take over
    // the tallies as they stand.
    const std::size_t here = 2 * (kThreadPoints - std::min(case_points_, kThreadPoints));
    count_here(coordinates.first(std::min(coordinates.size(), here)));
    coordinates = coordinates.subspan(std::min(coordinates.size(), here));
    threads_count_this_case_ = start_workers();
  }
  if (threads_count_this_case_) {
    hand_over(coordinates);
  } else {
    count_here(coordinates);
  }
}

bool DiagonalCounter::start_workers() {
  if (!workers_.empty()) return true;
  try {
    // The first worker's first tally is SEdiags_; NEdiags_ is its second,
    // or the second worker's.
    const std::array<DiagonalTally*, 2> directions = {&SEdiags_, &NEdiags_};
    if (cpus_ == 2) {
      workers_.push_back(std::make_unique<TallyWorker>(directions));
    } else {
      workers_.push_back(std::make_unique<TallyWorker>(std::span(directions).first(1)));
      workers_.push_back(std::make_unique<TallyWorker>(std::span(directions).last(1)));
    }
    return true;
  } catch (const std::system_error&) {
    workers_.clear();  // no thread to be had: count here
    cpus_ = 1;
    return false;
  }
}

void DiagonalCounter::count_here(std::span<const std::int32_t> coordinates) {
  // One direction at a time, so that only one tally's buffers compete for
  // the cache.
  add(0, coordinates);
  add(1, coordinates);
  case_points_ += coordinates.size() / 2;
}

void DiagonalCounter::add(std::size_t owner, std::span<const std::int32_t> coordinates) {
  std::array<std::int32_t, kKeysAtATime>& keys = keys_[owner];
  DiagonalTally& tally = tally_of(owner);
  while (coordinates.size() >= 2) {
    const std::size_t points = std::min(coordinates.size() / 2, kKeysAtATime);
    if (owner == 0) {
      for (std::size_t i = 0; i < points; ++i) keys[i] = SEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
    } else {
      for (std::size_t i = 0; i < points; ++i) keys[i] = NEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
    }
    tally.add({keys.data(), points});
    coordinates = coordinates.subspan(2 * points);
  }
}

void DiagonalCounter::hand_over(std::span<const std::int32_t> coordinates) {
  while (!coordinates.empty()) {
    std::size_t points = coordinates.size() / 2;
    for (const auto& worker : workers_) points = std::min(points, worker->room());
    const std::span<std::int32_t> se = workers_.front()->keys(0);
    const std::span<std::int32_t> ne = workers_.size() == 1 ? workers_.front()->keys(1) : workers_.back()->keys(0);
    for (std::size_t i = 0; i < points; ++i) {
      se[i] = SEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
      ne[i] = NEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
    }
    for (const auto& worker : workers_) worker->filled(points);
    case_points_ += points;
    coordinates = coordinates.subspan(2 * points);
  }
}

void DiagonalCounter::all_added(std::size_t owner) { sums_[owner] = tally_of(owner).finish(); }

double DiagonalCounter::finish(std::int64_t N) {
  std::uint64_t ne = 0;
  std::uint64_t se = 0;
  if (sums_[0].has_value() && sums_[1].has_value()) {
    se = *std::exchange(sums_[0], std::nullopt);
    ne = *std::exchange(sums_[1], std::nullopt);
  } else if (threads_count_this_case_) {
    // Each worker sums its first tally; with one worker, the second comes
    // back here to be summed at the same time.
    for (const auto& worker : workers_) worker->ask_to_finish(1);
    if (workers_.size() == 1) {
      workers_.front()->wait_until_counted();
      ne = NEdiags_.finish();
    } else {
      ne = workers_.back()->sums()[0];
    }
    se = workers_.front()->sums()[0];
    threads_count_this_case_ = false;
  } else {
    ne = NEdiags_.finish();
    se = SEdiags_.finish();
  }
  case_points_ = 0;
  return ratio_of_sums(N, ne, se);
}

}  // namespace diagonal_picks
