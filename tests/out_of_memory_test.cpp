// Running out of memory ends the run with status 1 and its one message, also
// when several threads run out at the same moment.

#include "out_of_memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace diagonal_picks {
namespace {

TEST(OutOfMemoryDeathTest, SaysSoOnceWhenThreadsRunOutTogether) {
  for (int round = 0; round < 20; ++round) {
    EXPECT_EXIT(
        {
          std::atomic<bool> go{false};
          std::vector<std::jthread> threads;
          threads.reserve(4);
          for (int thread = 0; thread < 4; ++thread) {
            threads.emplace_back([&go] {
              while (!go.load()) {
              }
              out_of_memory();
            });
          }
          go.store(true);
          out_of_memory();
        },
        testing::ExitedWithCode(1), "^diagonal-picks: out of memory\n$");
  }
}

}  // namespace
}  // namespace diagonal_picks
