#include "read/thread_team.h"

#include <chrono>
#include <system_error>

namespace diagonal_picks {

void wait_for_change(const std::atomic<std::uint32_t>& value, std::uint32_t seen) {
  constexpr std::chrono::microseconds kSpin{100};
  const auto spin_until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned spins = 1; value.load(std::memory_order_acquire) == seen; ++spins) {
    if (spins % 64 == 0 && std::chrono::steady_clock::now() > spin_until) {
      value.wait(seen, std::memory_order_acquire);
    }
  }
}

ThreadTeam::ThreadTeam(std::size_t threads) {
  try {
    for (std::size_t thread = 1; thread < threads; ++thread) {
      helpers_.emplace_back([this, thread] { help(thread); });
    }
  } catch (const std::system_error&) {
    start_failed_ = true;  // the helpers started so far leave at once
    started_.count_down();
    helpers_.clear();
    throw;
  }
  started_.count_down();
}

ThreadTeam::~ThreadTeam() {
  leave_ = true;
  runs_.fetch_add(1, std::memory_order_release);
  runs_.notify_all();
}

void ThreadTeam::help(std::size_t thread) {
  started_.wait();
  if (start_failed_) return;
  for (std::uint32_t seen = 0;; ++seen) {
    while (runs_.load(std::memory_order_acquire) == seen) runs_.wait(seen, std::memory_order_acquire);
    if (leave_) return;
    (*work_)(thread);
    done_.fetch_add(1, std::memory_order_release);
    done_.notify_all();
  }
}

void ThreadTeam::run(const Work& work) {
  work_ = &work;
  done_.store(0, std::memory_order_relaxed);
  runs_.fetch_add(1, std::memory_order_release);
  runs_.notify_all();
  work(0);
  const auto helpers = static_cast<std::uint32_t>(helpers_.size());
  for (std::uint32_t done = done_.load(std::memory_order_acquire); done != helpers;
       done = done_.load(std::memory_order_acquire)) {
    wait_for_change(done_, done);
  }
}

}  // namespace diagonal_picks
