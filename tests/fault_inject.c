// Preloaded into the program by the tests to make its system calls on one named file fail.
// REMOVE_FAULT="CALL:NAME:BYTES" with CALL read, write or close: reads or writes of the file
// called NAME succeed for BYTES bytes (cut short to end exactly there), then fail with EIO
// (read) or ENOSPC (write); a close of NAME closes it and then reports ENOSPC, as a file system
// that allocates late (NFS, for one) may.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

enum { kMaxFd = 1024 };

static char fault_call[16];
static char fault_name[256];
static long long fault_bytes = -1;
static int configured;
static unsigned char watched[kMaxFd];
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
  fault_bytes = atoll(second + 1);
}

static void track(int fd, const char* path) {
  configure();
  if (fd < 0 || fd >= kMaxFd) return;
  const char* slash = strrchr(path, '/');
  watched[fd] = fault_name[0] != '\0' && strcmp(slash ? slash + 1 : path, fault_name) == 0;
  moved[fd] = 0;
}

static int is_target(int fd, const char* call) {
  configure();
  return fd >= 0 && fd < kMaxFd && watched[fd] && strcmp(fault_call, call) == 0;
}

#define REAL(name, type) ((type)dlsym(RTLD_NEXT, name))

static int open_with(const char* symbol, const char* path, int flags, mode_t mode) {
  int fd = REAL(symbol, int (*)(const char*, int, ...))(path, flags, mode);
  track(fd, path);
  return fd;
}

static int openat_with(const char* symbol, int dir, const char* path, int flags, mode_t mode) {
  int fd = REAL(symbol, int (*)(int, const char*, int, ...))(dir, path, flags, mode);
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
  long long left = fault_bytes - moved[fd];
  if (left <= 0) {
    errno = error;
    return -1;
  }
  if ((long long)*count > left) *count = (size_t)left;
  return 0;
}

ssize_t read(int fd, void* buffer, size_t count) {
  if (is_target(fd, "read") && limited(fd, &count, EIO) < 0) return -1;
  ssize_t got = REAL("read", ssize_t(*)(int, void*, size_t))(fd, buffer, count);
  if (got > 0 && fd >= 0 && fd < kMaxFd) moved[fd] += got;
  return got;
}

ssize_t write(int fd, const void* buffer, size_t count) {
  if (is_target(fd, "write") && limited(fd, &count, ENOSPC) < 0) return -1;
  ssize_t put = REAL("write", ssize_t(*)(int, const void*, size_t))(fd, buffer, count);
  if (put > 0 && fd >= 0 && fd < kMaxFd) moved[fd] += put;
  return put;
}

int close(int fd) {
  int failing = is_target(fd, "close");
  if (fd >= 0 && fd < kMaxFd) watched[fd] = 0;
  int result = REAL("close", int (*)(int))(fd);
  if (failing && result == 0) {
    errno = ENOSPC;
    return -1;
  }
  return result;
}
