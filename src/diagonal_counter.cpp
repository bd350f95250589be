#include "diagonal_counter.h"

#include <sched.h>

#include <algorithm>
#include <system_error>

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
  if (!workers_count_this_case_ && cpus_ >= 2 && case_points_ + coordinates.size() / 2 >= kThreadPoints) {
    // Up to the threshold here; the rest on the threads.
    const std::size_t here = kThreadPoints > case_points_ ? kThreadPoints - case_points_ : 0;
    count_here(coordinates.first(std::min(coordinates.size(), 2 * here)));
    coordinates = coordinates.subspan(std::min(coordinates.size(), 2 * here));
    workers_count_this_case_ = start_workers();
  }
  if (workers_count_this_case_) {
    hand_over(coordinates);
  } else {
    count_here(coordinates);
  }
}

bool DiagonalCounter::start_workers() {
  if (!workers_.empty()) return true;
  try {
    std::array<DiagonalTally*, 2> both = {&NEdiags_, &SEdiags_};
    if (cpus_ == 2) {
      workers_.push_back(std::make_unique<TallyWorker>(both));
    } else {
      workers_.push_back(std::make_unique<TallyWorker>(std::span(both).first(1)));
      workers_.push_back(std::make_unique<TallyWorker>(std::span(both).last(1)));
    }
    return true;
  } catch (const std::system_error&) {
    workers_.clear();  // no thread to be had: count here
    cpus_ = 1;
    return false;
  }
}

void DiagonalCounter::count_here(std::span<const std::int32_t> coordinates) {
  while (!coordinates.empty()) {
    const std::size_t points = std::min(coordinates.size() / 2, kKeysAtATime);
    // One direction at a time, so that only one tally's buffers compete
    // for the cache.
    for (std::size_t i = 0; i < points; ++i) keys_[i] = SEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
    SEdiags_.add({keys_.data(), points});
    for (std::size_t i = 0; i < points; ++i) keys_[i] = NEdiag_of(coordinates[2 * i], coordinates[2 * i + 1]);
    NEdiags_.add({keys_.data(), points});
    case_points_ += points;
    coordinates = coordinates.subspan(2 * points);
  }
}

void DiagonalCounter::hand_over(std::span<const std::int32_t> coordinates) {
  while (!coordinates.empty()) {
    std::size_t points = coordinates.size() / 2;
    for (const auto& worker : workers_) points = std::min(points, worker->room());
    // Keys into the worker that counts their direction: the first worker's
    // first tally is NEdiags_, and its second (or the second worker's) SEdiags_.
    const std::span<std::int32_t> ne = workers_.front()->keys(0);
    const std::span<std::int32_t> se = workers_.size() == 1 ? workers_.front()->keys(1) : workers_.back()->keys(0);
    for (std::size_t i = 0; i < points; ++i) {
      const std::int32_t X = coordinates[2 * i];
      const std::int32_t Y = coordinates[2 * i + 1];
      ne[i] = NEdiag_of(X, Y);
      se[i] = SEdiag_of(X, Y);
    }
    for (const auto& worker : workers_) worker->filled(points);
    case_points_ += points;
    coordinates = coordinates.subspan(2 * points);
  }
}

double DiagonalCounter::finish(std::int64_t N) {
  std::uint64_t ne = 0;
  std::uint64_t se = 0;
  if (workers_count_this_case_) {
    const auto first = workers_.front()->finish();
    ne = first[0];
    se = workers_.size() == 1 ? first[1] : workers_.back()->finish()[0];
    workers_count_this_case_ = false;
  } else {
    ne = NEdiags_.finish();
    se = SEdiags_.finish();
  }
  case_points_ = 0;
  return ratio_of_sums(N, ne, se);
}

}  // namespace diagonal_picks
