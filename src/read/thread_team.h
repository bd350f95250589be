#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <latch>
#include <thread>
#include <vector>

namespace diagonal_picks {

// Waits until `value` is no longer `seen`: spins for a fraction of a
// millisecond first, since waking a thread that sleeps costs about as much.
void wait_for_change(const std::atomic<std::uint32_t>& value, std::uint32_t seen);

// Threads kept for the runs of a parallel task. Between runs they sleep.
class ThreadTeam {
 public:
  using Work = std::function<void(std::size_t thread)>;

  // Starts `threads` - 1 helpers (none for 1). Throws std::system_error,
  // with no thread left behind, when one cannot be started.
  explicit ThreadTeam(std::size_t threads);
  ThreadTeam(const ThreadTeam&) = delete;
  ThreadTeam& operator=(const ThreadTeam&) = delete;
  ThreadTeam(ThreadTeam&&) = delete;
  ThreadTeam& operator=(ThreadTeam&&) = delete;
  // Wakes the helpers to leave, and joins them.
  ~ThreadTeam();

  // Calls work(t) on every thread t, the caller as thread 0, and returns
  // once all calls have returned: what they wrote is then the caller's.
  void run(const Work& work);

 private:
  void help(std::size_t thread);

  const Work* work_ = nullptr;
  bool leave_ = false;                  // set by the destructor
  bool start_failed_ = false;           // a helper could not be started
  std::atomic<std::uint32_t> runs_{0};  // runs begun; helpers wait on it
  std::atomic<std::uint32_t> done_{0};  // helpers done with this run
  std::latch started_{1};               // every helper started, or start_failed_ set
  std::vector<std::jthread> helpers_;   // last: joined before the rest goes
};

}  // namespace diagonal_picks
