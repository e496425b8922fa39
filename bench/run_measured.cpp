// Runs a command and prints its wall time in seconds and its peak resident memory in KiB.
// The benchmark measures through this small process because a child forked straight from the
// Python driver would report the driver's memory as its own peak.
// Usage: run_measured COMMAND [ARG...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::execvp(argv[1], argv + 1);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child) {
    return 2;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::fprintf(stderr, "%.6f %ld\n", elapsed.count(), usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
