// The run's two waits: for another process to give up its lock on "file.txt", and for the
// holder of a lease on either file to give it up. Both try without blocking and sleep a little
// between tries until a deadline on the monotonic clock, so the bound is the program's own: it
// needs no signal, no timer and no /proc. Those belong to whoever started the program (a blocked
// or ignored SIGALRM, a running timer, RLIMIT_SIGPENDING all survive exec), and are left as
// they were handed down.
#pragma once

#include <sys/types.h>

// How long a run waits for another process to give up its lock on "file.txt" before it treats
// the file as one it cannot open. Long enough for any run that is making progress to finish a
// read-back; short enough that a lock held for ever (by a caller's `flock`, or by a run blocked
// on a pipe that nobody reads) does not hang this run.
inline constexpr int kLockWaitSeconds = 10;

// The kernel's own default for /proc/sys/fs/lease-break-time, the longest a lease holder is given
// to let go; the bound of the lease wait where /proc is not mounted.
inline constexpr int kDefaultLeaseBreakSeconds = 45;

// open(2) of `path` with `flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY`, so it never waits for the
// other end of a FIFO. While a lease on the file (Samba oplocks, NFS delegations, F_SETLEASE) is
// being broken it tries again until the holder has let go, or the kernel's lease-break time has
// passed and the kernel has broken the lease itself. -1 if the file cannot be opened.
[[nodiscard]] int open_without_blocking(const char* path, int flags, mode_t mode);

// Takes an exclusive flock on `fd`, waiting at most kLockWaitSeconds for another holder, shared
// or exclusive. True once this run holds the lock, and on a file system without locks (ENOLCK,
// say): the file is still written then, only runs sharing it are not kept apart.
[[nodiscard]] bool lock_exclusively(int fd);
