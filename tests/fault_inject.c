// Preloaded into the program by the tests to make its system calls on one named file fail.
// REMOVE_FAULT="CALL:NAME:COUNT[:fails=N][:EINTR|:EAGAIN]":
// - read, write: reads or writes of the file called NAME succeed for COUNT bytes (cut short to
//   end exactly there), then fail with EIO (read) or ENOSPC (write); with "fails=N" only the
//   first N failing calls fail, and later ones succeed again, as after a transient fault; with
//   EINTR or EAGAIN they fail so instead (a seccomp filter, a broken driver, a signal), and so do
//   the open and sendfile faults;
// - close: a close of NAME closes it and then reports ENOSPC, as a file system that allocates
//   late (NFS, for one) may;
// - fstat: the first COUNT fstat calls on NAME succeed, the rest fail with EIO (NAME "stdout"
//   is descriptor 1, whatever it is);
// - open: every open of NAME fails with EACCES (NAME "null" takes /dev/null away);
// - pause: the first open of NAME stops the process (SIGSTOP) before it opens, until SIGCONT;
// - stall: the first COUNT writes to NAME fail with EAGAIN, and a poll of it that does not wait
//   answers "not ready" every other time, so that the writer now waits and now does not;
// - flock: every flock of NAME fails with ENOLCK, as on a file system without locks;
// - sendfile: sendfile from NAME moves COUNT bytes, then fails with EINVAL, as it does for a
//   destination it cannot write to;
// - cut: reads, preads and sendfiles of NAME find its end after COUNT bytes, as if another
//   program had cut it short;
// - append: the first pread or sendfile from NAME first appends COUNT bytes "+" to it through
//   an open file of its own, as another program may;
// - sleep: clock_nanosleep fails with ENOSYS, as under a seccomp filter; NAME "poll" takes away
//   poll without descriptors too, so that nothing can sleep;
// - clock: the monotonic clock stands still.
// Besides, REMOVE_LEASE_TIME=NAME makes an open of /proc/sys/fs/lease-break-time open NAME instead.
// A descriptor duplicated with fcntl is the same file as the one it copies, and counts its bytes
// from 0. Whatever is set, a read or write of "file.c" or "file.txt" through descriptor 0, 1 or 2
// ends the process with status 99: those belong to the standard streams; and an open of
// "file.txt" for reading that finds a FIFO ends it with status 98: it would wake a writer
// waiting in its own open, or, for reading and writing, a reader, with nothing to read. The
// program's own off_t is 64 bits, and its time_t may be too (_TIME_BITS=64 on 32-bit machines);
// here the plain, the *64 and the
// *_time64 entry points are all defined, so the macros that would make one another stay off.
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

enum { kMaxFd = 1024 };

static char fault_call[16];
static char fault_name[256];
static long long fault_count = -1;
static long long fault_failures;  // calls that fail before later ones succeed, 0 for all
static int fault_error;           // EINTR or EAGAIN in place of the call's own error, 0 for that
static long long fault_failed;    // calls failed so far
static int stall_polls;
static int configured;
static unsigned char watched[kMaxFd];
static unsigned char run_file[kMaxFd];
static long long moved[kMaxFd];

static void configure(void) {
  if (configured) return;
  configured = 1;
  const char* setting = getenv("REMOVE_FAULT");
  if (setting == NULL) return;
  const char* first = strchr(setting, ':');
  const char* second = first ? strchr(first + 1, ':') : NULL;
  if (second == NULL || (size_t)(first - setting) >= sizeof fault_call ||
      (size_t)(second - first - 1) >= sizeof fault_name)
    return;
  memcpy(fault_call, setting, (size_t)(first - setting));
  memcpy(fault_name, first + 1, (size_t)(second - first - 1));
  fault_count = atoll(second + 1);
  const char* fails = strstr(second, ":fails=");
  fault_failures = fails ? atoll(fails + strlen(":fails=")) : 0;
  fault_error = strstr(second, ":EINTR") ? EINTR : strstr(second, ":EAGAIN") ? EAGAIN : 0;
  watched[1] = strcmp(fault_name, "stdout") == 0;
}

static const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

static void track(int fd, const char* path) {
  configure();
  if (fd < 0 || fd >= kMaxFd) return;
  const char* name = base_name(path);
  watched[fd] = fault_name[0] != '\0' && strcmp(name, fault_name) == 0;
  run_file[fd] = strcmp(name, "file.c") == 0 || strcmp(name, "file.txt") == 0;
  moved[fd] = 0;
}

static int is_target(int fd, const char* call) {
  configure();
  return fd >= 0 && fd < kMaxFd && watched[fd] && strcmp(fault_call, call) == 0;
}

static void guard_standard(int fd) {
  if (fd >= 0 && fd <= 2 && run_file[fd]) _exit(99);
}

#define REAL(name, type) ((type)dlsym(RTLD_NEXT, name))

static int spent(void) { return fault_failures > 0 && fault_failed >= fault_failures; }

static int refuses(const char* path) {
  configure();
  if (strcmp(base_name(path), fault_name) != 0) return 0;
  if (strcmp(fault_call, "pause") == 0 && fault_failed++ == 0) raise(SIGSTOP);
  if (strcmp(fault_call, "open") != 0 || spent()) return 0;
  ++fault_failed;
  errno = fault_error ? fault_error : EACCES;
  return 1;
}

static void guard_fifo(int fd, const char* path, int flags) {
  struct stat status;
  if (fd >= 0 && (flags & O_ACCMODE) != O_WRONLY && strcmp(base_name(path), "file.txt") == 0 &&
      REAL("fstat", int (*)(int, struct stat*))(fd, &status) == 0 && S_ISFIFO(status.st_mode))
    _exit(98);
}

static const char* redirected(const char* path) {
  const char* lease_time = getenv("REMOVE_LEASE_TIME");
  return lease_time && strcmp(base_name(path), "lease-break-time") == 0 ? lease_time : path;
}

static int open_with(const char* symbol, const char* path, int flags, mode_t mode) {
  if (refuses(path)) return -1;
  path = redirected(path);
  int fd = REAL(symbol, int (*)(const char*, int, ...))(path, flags, mode);
  guard_fifo(fd, path, flags);
  track(fd, path);
  return fd;
}

static int openat_with(const char* symbol, int dir, const char* path, int flags, mode_t mode) {
  if (refuses(path)) return -1;
  path = redirected(path);
  int fd = REAL(symbol, int (*)(int, const char*, int, ...))(dir, path, flags, mode);
  guard_fifo(fd, path, flags);
  track(fd, path);
  return fd;
}

static mode_t mode_of(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_with("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_with("open64", path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return openat_with("openat", dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return openat_with("openat64", dir, path, flags, mode);
}

// Lets `count` bytes through up to the limit; -1 once the limit is reached.
static ssize_t limited(int fd, size_t* count, int error) {
  long long left = fault_count - moved[fd];
  if (left <= 0 && !spent()) {
    ++fault_failed;
    errno = fault_error && error ? fault_error : error;
    return -1;
  }
  if (left > 0 && (long long)*count > left) *count = (size_t)left;
  return 0;
}

// Whether a read of `fd` must find the end of the file now; cuts `count` to end there.
static int ends(int fd, size_t* count) { return is_target(fd, "cut") && limited(fd, count, 0) < 0; }

// Another program appends to the file once, just before its first read-back.
static void append_once(int fd) {
  if (!is_target(fd, "append") || fault_failed) return;
  fault_failed = 1;
  int other = REAL("open", int (*)(const char*, int, ...))(fault_name, O_WRONLY | O_APPEND);
  for (long long i = 0; other >= 0 && i < fault_count; ++i)
    if (REAL("write", ssize_t(*)(int, const void*, size_t))(other, "+", 1) != 1) break;
  if (other >= 0) REAL("close", int (*)(int))(other);
}

ssize_t read(int fd, void* buffer, size_t count) {
  guard_standard(fd);
  if (is_target(fd, "read") && limited(fd, &count, EIO) < 0) return -1;
  if (ends(fd, &count)) return 0;
  ssize_t got = REAL("read", ssize_t(*)(int, void*, size_t))(fd, buffer, count);
  if (got > 0 && fd >= 0 && fd < kMaxFd) moved[fd] += got;
  return got;
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  guard_standard(fd);
  if (is_target(fd, "read") && limited(fd, &count, EIO) < 0) return -1;
  if (ends(fd, &count)) return 0;
  append_once(fd);
  ssize_t got = REAL("pread", ssize_t(*)(int, void*, size_t, off_t))(fd, buffer, count, offset);
  if (got > 0 && fd >= 0 && fd < kMaxFd) moved[fd] += got;
  return got;
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
  guard_standard(fd);
  if (is_target(fd, "read") && limited(fd, &count, EIO) < 0) return -1;
  if (ends(fd, &count)) return 0;
  append_once(fd);
  ssize_t got = REAL("pread64", ssize_t(*)(int, void*, size_t, off64_t))(fd, buffer, count, offset);
  if (got > 0 && fd >= 0 && fd < kMaxFd) moved[fd] += got;
  return got;
}

// Counts as a read of `from`.
static ssize_t send_with(const char* symbol, int to, int from, void* offset, size_t count) {
  guard_standard(from);
  if (is_target(from, "read") && limited(from, &count, EIO) < 0) return -1;
  if (is_target(from, "sendfile") && limited(from, &count, EINVAL) < 0) return -1;
  if (ends(from, &count)) return 0;
  append_once(from);
  ssize_t sent = REAL(symbol, ssize_t(*)(int, int, void*, size_t))(to, from, offset, count);
  if (sent > 0 && from >= 0 && from < kMaxFd) moved[from] += sent;
  return sent;
}

ssize_t sendfile(int to, int from, off_t* offset, size_t count) {
  return send_with("sendfile", to, from, offset, count);
}

ssize_t sendfile64(int to, int from, off64_t* offset, size_t count) {
  return send_with("sendfile64", to, from, offset, count);
}

static int fcntl_with(const char* symbol, int fd, int command, long argument) {
  int result = REAL(symbol, int (*)(int, int, ...))(fd, command, argument);
  if ((command == F_DUPFD || command == F_DUPFD_CLOEXEC) && result >= 0 && result < kMaxFd &&
      fd >= 0 && fd < kMaxFd) {
    watched[result] = watched[fd];
    run_file[result] = run_file[fd];
    moved[result] = 0;
  }
  return result;
}

int fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  long argument = va_arg(args, long);
  va_end(args);
  return fcntl_with("fcntl", fd, command, argument);
}

int fcntl64(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  long argument = va_arg(args, long);
  va_end(args);
  return fcntl_with("fcntl64", fd, command, argument);
}

int __fcntl_time64(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  long argument = va_arg(args, long);
  va_end(args);
  return fcntl_with("__fcntl_time64", fd, command, argument);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  guard_standard(fd);
  if (is_target(fd, "write") && limited(fd, &count, ENOSPC) < 0) return -1;
  if (is_target(fd, "stall") && fault_failed < fault_count) {
    ++fault_failed;
    errno = EAGAIN;
    return -1;
  }
  ssize_t put = REAL("write", ssize_t(*)(int, const void*, size_t))(fd, buffer, count);
  if (put > 0 && fd >= 0 && fd < kMaxFd) moved[fd] += put;
  return put;
}

static int stat_fails(int fd) {
  if (!is_target(fd, "fstat") || moved[fd]++ < fault_count) return 0;
  errno = EIO;
  return 1;
}

int fstat(int fd, struct stat* status) {
  return stat_fails(fd) ? -1 : REAL("fstat", int (*)(int, struct stat*))(fd, status);
}

int fstat64(int fd, struct stat64* status) {
  return stat_fails(fd) ? -1 : REAL("fstat64", int (*)(int, struct stat64*))(fd, status);
}

// The 64-bit time ABI's fstat; its record is the C library's own, and only passed on.
int __fstat64_time64(int fd, void* status) {
  return stat_fails(fd) ? -1 : REAL("__fstat64_time64", int (*)(int, void*))(fd, status);
}

static int is_fault(const char* call, const char* name) {
  configure();
  return strcmp(fault_call, call) == 0 && (name == NULL || strcmp(fault_name, name) == 0);
}

int clock_gettime(clockid_t clock, struct timespec* now) {
  if (clock == CLOCK_MONOTONIC && is_fault("clock", NULL)) {
    now->tv_sec = 1000;
    now->tv_nsec = 0;
    return 0;
  }
  return REAL("clock_gettime", int (*)(clockid_t, struct timespec*))(clock, now);
}

// The 64-bit time ABI's timespec on 32-bit machines: 64-bit seconds, then the nanoseconds.
struct timespec64 {
  long long tv_sec;
  long tv_nsec;
};

int __clock_gettime64(clockid_t clock, struct timespec64* now) {
  if (clock == CLOCK_MONOTONIC && is_fault("clock", NULL)) {
    now->tv_sec = 1000;
    now->tv_nsec = 0;
    return 0;
  }
  return REAL("__clock_gettime64", int (*)(clockid_t, struct timespec64*))(clock, now);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* wake,
                    struct timespec* left) {
  if (is_fault("sleep", NULL)) return ENOSYS;
  return REAL("clock_nanosleep", int (*)(clockid_t, int, const struct timespec*, struct timespec*))(
      clock, flags, wake, left);
}

int __clock_nanosleep_time64(clockid_t clock, int flags, const struct timespec64* wake,
                             struct timespec64* left) {
  if (is_fault("sleep", NULL)) return ENOSYS;
  return REAL("__clock_nanosleep_time64", int (*)(clockid_t, int, const struct timespec64*,
                                                  struct timespec64*))(clock, flags, wake, left);
}

int poll(struct pollfd* descriptors, nfds_t count, int timeout) {
  if (count == 0 && is_fault("sleep", "poll")) {
    errno = ENOSYS;
    return -1;
  }
  if (count == 1 && timeout == 0 && is_target(descriptors[0].fd, "stall") && stall_polls++ % 2 == 0)
    return 0;
  return REAL("poll", int (*)(struct pollfd*, nfds_t, int))(descriptors, count, timeout);
}

int flock(int fd, int operation) {
  if (is_target(fd, "flock")) {
    errno = ENOLCK;
    return -1;
  }
  return REAL("flock", int (*)(int, int))(fd, operation);
}

int close(int fd) {
  int failing = is_target(fd, "close");
  if (fd >= 0 && fd < kMaxFd) watched[fd] = run_file[fd] = 0;
  int result = REAL("close", int (*)(int))(fd);
  if (failing && result == 0) {
    errno = ENOSPC;
    return -1;
  }
  return result;
}
