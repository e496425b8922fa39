#include "BoundedWait.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "FileIdentity.hpp"

namespace {

// A holder that soon lets go is noticed within a millisecond or two; a long wait costs a try
// every 20 ms, which is nothing, and ends at most 20 ms after the holder let go.
constexpr long kFirstPauseNanoseconds = 1'000'000;
constexpr long kLongestPauseNanoseconds = 20'000'000;
constexpr long kNanosecondsPerSecond = 1'000'000'000;

timespec monotonic_now() {
  timespec now{};
  (void)::clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
  return now;
}

// Kept as seconds and nanoseconds: 64-bit division would take libgcc along on 32-bit machines.
timespec later_by(timespec time, long nanoseconds) {
  time.tv_nsec += nanoseconds;
  if (time.tv_nsec >= kNanosecondsPerSecond) {
    time.tv_nsec -= kNanosecondsPerSecond;
    ++time.tv_sec;
  }
  return time;
}

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Calls `busy` until it returns false, sleeping between calls for a pause that starts at 1 ms
// and doubles up to 20 ms, and gives up once `seconds` have passed. True if `busy` returned
// false in time. A signal that cuts a sleep short changes nothing: the sleep goes on to the
// same wake-up time. The pauses are counted too, so the bound holds even if the clock does not
// move.
template <typename Busy>
bool retry_while_busy(int seconds, Busy busy) {
  timespec deadline = monotonic_now();
  deadline.tv_sec += seconds;
  const std::int64_t bound = std::int64_t{seconds} * kNanosecondsPerSecond;
  std::int64_t paused = 0;
  long pause = kFirstPauseNanoseconds;
  while (busy()) {
    const timespec now = monotonic_now();
    if (!before(now, deadline) || paused >= bound) {
      return false;
    }
    timespec wake = later_by(now, pause);
    if (before(deadline, wake)) {
      wake = deadline;
    }
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
    paused += pause;
    pause = std::min(2 * pause, kLongestPauseNanoseconds);
  }
  return true;
}

// The kernel's lease-break time, where /proc shows it. Read only once a lease is met, so a run
// without one never touches /proc.
int lease_break_seconds() {
  const int fd = ::open("/proc/sys/fs/lease-break-time", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return kDefaultLeaseBreakSeconds;
  }
  char text[16];
  const ssize_t got = ::read(fd, text, sizeof text);
  (void)::close(fd);  // only read
  int seconds = 0;
  int digits = 0;
  // At most seven digits: no overflow, and more than any lease is given (the kernel's is 45 s).
  for (ssize_t i = 0; i < got && i < 7 && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    seconds = seconds * 10 + (text[i] - '0');
  }
  return digits > 0 ? seconds : kDefaultLeaseBreakSeconds;
}

int open_once(const char* path, int flags, mode_t mode) {
  int fd = -1;
  do {
    fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

int open_without_blocking(const char* path, int flags, mode_t mode) {
  int fd = open_once(path, flags, mode);
  // From a regular file, EWOULDBLOCK means that the open has started a lease break; from
  // anything else (a device) it is the answer.
  if (fd < 0 && errno == EWOULDBLOCK && identity_of_path(path).is(S_IFREG)) {
    // The kernel counts its lease-break time from the first try; a second more lets the try
    // after it find the lease gone.
    (void)retry_while_busy(lease_break_seconds() + 1, [&] {
      fd = open_once(path, flags, mode);
      return fd < 0 && errno == EWOULDBLOCK;
    });
  }
  return fd;
}

bool lock_exclusively(int fd) {
  return retry_while_busy(kLockWaitSeconds, [fd] {
    return ::flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR);
  });
}
