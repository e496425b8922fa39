#include "BoundedWait.hpp"

#include <fcntl.h>
#include <poll.h>
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
// every 20 ms, which is nothing, and ends at most 20 ms after the holder let go, or at its bound.
constexpr long kFirstPauseNanoseconds = 1'000'000;
constexpr long kLongestPauseNanoseconds = 20'000'000;
constexpr long kNanosecondsPerMillisecond = 1'000'000;
constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

// Nanoseconds on the monotonic clock since an unspecified start, without a 64-bit division:
// that takes a helper library along on 32-bit machines.
std::int64_t monotonic_nanoseconds() {
  timespec now{};
  (void)::clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
  return std::int64_t{now.tv_sec} * kNanosecondsPerSecond + now.tv_nsec;
}

// Sleeps for `nanoseconds` (under a second), resuming after a signal for the time left. Where
// clock_nanosleep is refused (ENOSYS or EPERM from a seccomp filter), poll with no descriptor
// sleeps by its timeout instead, the whole pause again after a signal. Each resumes at most
// kMostFruitlessTries times. False if neither slept: the caller must not count the pause.
bool pause_for(long nanoseconds) {
  timespec left{0, nanoseconds};
  for (int tries = 0; tries < kMostFruitlessTries; ++tries) {
    const int error = ::clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left);
    if (error == 0) {
      return true;
    }
    if (error != EINTR) {
      break;
    }
  }
  // Rounded up: a pause under a millisecond must still sleep.
  const auto milliseconds =
      static_cast<int>((nanoseconds + kNanosecondsPerMillisecond - 1) / kNanosecondsPerMillisecond);
  for (int tries = 0; tries < kMostFruitlessTries; ++tries) {
    const int result = ::poll(nullptr, 0, milliseconds);
    if (result == 0) {
      return true;
    }
    if (result > 0 || errno != EINTR) {
      break;
    }
  }
  return false;
}

// Calls `busy` until it returns false, sleeping between calls for a pause that starts at 1 ms
// and doubles up to 20 ms, and gives up once `seconds` have passed on the monotonic clock or
// been slept, whichever comes first: so the bound holds even if the clock does not move. The
// last pause is cut to what is left of the bound. True if `busy` returned false in time. With no
// sleep to be had at all the wait gives up at once rather than spin.
template <typename Busy>
bool retry_while_busy(int seconds, Busy busy) {
  const std::int64_t start = monotonic_nanoseconds();
  const std::int64_t bound = std::int64_t{seconds} * kNanosecondsPerSecond;
  std::int64_t slept = 0;
  long pause = kFirstPauseNanoseconds;
  while (busy()) {
    const std::int64_t left = bound - std::max(monotonic_nanoseconds() - start, slept);
    const long this_pause = static_cast<long>(std::min<std::int64_t>(pause, left));
    if (left <= 0 || !pause_for(this_pause)) {
      return false;
    }
    slept += this_pause;
    pause = std::min(2 * pause, kLongestPauseNanoseconds);
  }
  return true;
}

// The kernel's lease-break time, where /proc shows it. Read only once a lease is met, so a run
// without one never touches /proc, and only once a run.
int lease_break_seconds() {
  static int seconds = -1;
  if (seconds >= 0) {
    return seconds;
  }
  seconds = kDefaultLeaseBreakSeconds;
  const int fd = retry_call(-1, 0, [] {
    return ::open("/proc/sys/fs/lease-break-time", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  });
  if (fd >= 0) {
    char text[32];
    const ssize_t got = retry_call(fd, POLLIN, [&] { return ::read(fd, text, sizeof text); });
    (void)::close(fd);  // only read
    if (got > 0) {
      seconds = lease_break_seconds_from({text, static_cast<std::size_t>(got)});
    }
  }
  return seconds;
}

int open_once(const char* path, int flags, mode_t mode) {
  return retry_call(-1, 0,
                    [&] { return ::open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode); });
}

}  // namespace

bool may_try_again(int fd, short events, int& fruitless) {
  const int error = errno;
  bool waited = false;
  if (error == EAGAIN && fd >= 0) {
    // Ready at once means the call had no cause to say "try again"; not ready means a real
    // wait for the other end, as long as it takes.
    pollfd ready{fd, events, 0};
    if (::poll(&ready, 1, 0) == 0) {
      waited = ::poll(&ready, 1, -1) > 0;
    }
  } else if (error != EINTR) {
    return false;
  }
  fruitless = waited ? 0 : fruitless + 1;
  errno = error;
  return fruitless < kMostFruitlessTries;
}

int lease_break_seconds_from(std::string_view text) {
  int seconds = 0;
  std::size_t digits = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    const int digit = text[digits] - '0';
    if (seconds > (kLongestLeaseBreakSeconds - digit) / 10) {
      return kLongestLeaseBreakSeconds;
    }
    seconds = seconds * 10 + digit;
  }
  return digits == 0 ? kDefaultLeaseBreakSeconds : seconds;
}

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
