// The run's waits, and the open of its files that waits for a lease. Two are bounded by the program
// alone: the wait for another process's lock on "file.txt" and the wait for the holder of a lease
// on either file. They try without blocking and sleep a little between tries until a deadline on
// the monotonic clock, need no signal and no timer, and read /proc only to learn the kernel's
// lease-break time once a lease is met; the signal mask, dispositions and timers handed down (a
// blocked or ignored SIGALRM, a running timer, RLIMIT_SIGPENDING all survive exec) cannot stretch
// them or make them endless. A call that says "try again" is the third: after EAGAIN it waits in
// poll, with no timeout, for the reader or writer at the other end, as `cat` would; only its
// fruitless tries are bounded.
#pragma once

#include <sys/types.h>

#include <string_view>

// How long a run waits for another process to give up its lock on "file.txt" before it treats
// the file as one it cannot open. Long enough for any run that is making progress to finish a
// read-back; short enough that a lock held for ever (by a caller's `flock`, or by a run blocked
// on a pipe that nobody reads) does not hang this run.
inline constexpr int kLockWaitSeconds = 10;

// The kernel's own default for /proc/sys/fs/lease-break-time, the longest a lease holder is given
// to let go; the bound of the lease wait where /proc is not mounted.
inline constexpr int kDefaultLeaseBreakSeconds = 45;
// The longest lease-break time taken from /proc (115 days); a longer one counts as this.
inline constexpr int kLongestLeaseBreakSeconds = 9'999'999;

// How often in a row a call may say "try again" (EINTR, or EAGAIN while poll finds it ready at
// once) without moving a byte before it counts as failed. Far more than a real interruption
// gives, and still a moment's work when a call fails so on every try (a seccomp filter, a
// broken driver).
inline constexpr int kMostFruitlessTries = 256;

// Whether a call that has just returned -1 may be tried again: after EINTR, and after EAGAIN once
// poll finds `fd` ready for `events`, waiting as long as that takes (a slow reader sets the pace).
// `fruitless` counts the tries in a row that came back without such a wait; at
// kMostFruitlessTries the answer is no. Never with `fd` -1: EAGAIN is then the call's answer (an
// open that meets a lease). errno is left as the call set it.
[[nodiscard]] bool may_try_again(int fd, short events, int& fruitless);

// Calls `call` (a read, write, sendfile, pread or open: -1 and errno on failure) until it moves
// forward, fails, or has said "try again" as often as may_try_again allows; returns its last
// result. Every read, write, sendfile, pread and open of the run goes through it. Not so the
// calls that are waits of their own: flock, whose EINTR counts as busy in the lock wait, and the
// sleeps between the waits' tries, bounded as pause_for in BoundedWait.cpp says.
template <typename Call>
[[nodiscard]] auto retry_call(int fd, short events, Call call) {
  int fruitless = 0;
  for (;;) {
    const auto result = call();
    if (result >= 0 || !may_try_again(fd, events, fruitless)) {
      return result;
    }
  }
}

// The lease-break time that /proc/sys/fs/lease-break-time holds as `text`: its leading digits,
// kLongestLeaseBreakSeconds at most, or kDefaultLeaseBreakSeconds if it starts with none. 0 means
// that the kernel never breaks a lease itself; the wait is then the extra second alone.
[[nodiscard]] int lease_break_seconds_from(std::string_view text);

// open(2) of `path` without waiting for the other end of a FIFO, after which reads and writes
// wait as usual. While a lease on the file (Samba oplocks, NFS delegations, F_SETLEASE) is being
// broken it tries again until the holder has let go, for at most the kernel's lease-break time and
// a second in the whole run, however often the run opens that file (a file is known by its device
// and inode): the kernel breaks a write lease only to a read lease for a reader, which the next
// open for writing meets again. A lease on another file has a bound of its own. The descriptor is
// kept above the standard ones: were 0-2 closed with no /dev/null to fill them, the transcript
// would otherwise be written into the file. -1 if the file cannot be opened, with errno as the
// open left it.
[[nodiscard]] int open_file(const char* path, int flags, mode_t mode = 0);

// Takes an exclusive flock on `fd`, waiting at most kLockWaitSeconds for another holder, shared
// or exclusive. True once this run holds the lock, and on a file system without locks (ENOLCK,
// say): the file is still written then, only runs sharing it are not kept apart.
[[nodiscard]] bool lock_exclusively(int fd);
