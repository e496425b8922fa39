#include "BoundedWait.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
// and doubles up to 20 ms, and gives up once the `budget` of nanoseconds has passed on the
// monotonic clock or been slept, whichever comes first: so the bound holds even if the clock does
// not move. The last pause is cut to what is left of the budget, and what the wait took is taken
// from it. True if `busy` returned false in time. With no sleep to be had at all the wait gives
// up at once rather than spin.
template <typename Busy>
bool retry_while_busy(std::int64_t& budget, Busy busy) {
  const std::int64_t start = monotonic_nanoseconds();
  std::int64_t slept = 0;
  const auto spent = [&] { return std::max(monotonic_nanoseconds() - start, slept); };
  long pause = kFirstPauseNanoseconds;
  bool let_go = true;
  while (busy()) {
    const std::int64_t left = budget - spent();
    const long this_pause = static_cast<long>(std::min<std::int64_t>(pause, left));
    if (left <= 0 || !pause_for(this_pause)) {
      let_go = false;
      break;
    }
    slept += this_pause;
    pause = std::min(2 * pause, kLongestPauseNanoseconds);
  }
  budget = std::max<std::int64_t>(budget - spent(), 0);
  return let_go;
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

// What is left of the lease wait of each file the run has met a lease on. The run opens at most
// four times ("file.c", "file.txt" for the lock, for reading and writing, for writing alone), so
// a table that is full holds every file there is; a fifth would share the last one's wait.
struct LeaseWait {
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t left = 0;
};
std::array<LeaseWait, 4> lease_waits;
std::size_t lease_waits_used = 0;

std::int64_t& lease_wait_left(const FileIdentity& file) {
  for (std::size_t i = 0; i < lease_waits_used; ++i) {
    if (lease_waits[i].device == file.device && lease_waits[i].inode == file.inode) {
      return lease_waits[i].left;
    }
  }
  if (lease_waits_used == lease_waits.size()) {
    return lease_waits.back().left;
  }
  // The kernel counts its lease-break time from the first try; a second more lets the try
  // after it find the lease gone.
  LeaseWait& wait = lease_waits[lease_waits_used++];
  wait = {file.device, file.inode,
          (std::int64_t{lease_break_seconds()} + 1) * kNanosecondsPerSecond};
  return wait.left;
}

// open_once, waiting while a lease on the file is broken.
int open_without_blocking(const char* path, int flags, mode_t mode) {
  int fd = open_once(path, flags, mode);
  if (fd >= 0 || errno != EWOULDBLOCK) {
    return fd;
  }
  // From a regular file, EWOULDBLOCK means that the open has started a lease break; from
  // anything else (a device) it is the answer.
  int error = errno;
  const FileIdentity file = identity_of_path(path);
  if (file.is(S_IFREG)) {
    std::int64_t& left = lease_wait_left(file);
    if (left > 0) {
      (void)retry_while_busy(left, [&] {
        fd = open_once(path, flags, mode);
        error = errno;
        return fd < 0 && error == EWOULDBLOCK;
      });
    }
  }
  errno = error;  // the open's own, not that of a stat or a sleep since
  return fd;
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

int open_file(const char* path, int flags, mode_t mode) {
  int fd = open_without_blocking(path, flags, mode);
  if (fd >= 0 && fd <= STDERR_FILENO) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    (void)::close(fd);  // nothing was read or written through it
    errno = error;
    fd = moved;
  }
  if (fd < 0) {
    return -1;
  }
  const int status = ::fcntl(fd, F_GETFL);
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    const int error = errno;
    (void)::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

bool lock_exclusively(int fd) {
  std::int64_t budget = std::int64_t{kLockWaitSeconds} * kNanosecondsPerSecond;
  return retry_while_busy(budget, [fd] {
    return ::flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR);
  });
}
