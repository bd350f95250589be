// Runs one program with standard input and output as given and prints its
// wall time in seconds, peak resident memory in KiB, CPU time (user and
// system, all threads) in seconds and the system part of it. A separate small
// process, so that the driver's own memory never counts as the program's.
// Usage: measure PROGRAM [ARGUMENT...] < INPUT > OUTPUT 2> REPORT

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 2;
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  const auto seconds = [](timeval time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  std::fprintf(stderr, "%.6f %ld %.6f %.6f\n", wall.count(), usage.ru_maxrss,
               seconds(usage.ru_utime) + seconds(usage.ru_stime), seconds(usage.ru_stime));
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
