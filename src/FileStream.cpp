#include "FileStream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>

// Files past 2 GiB and inode numbers past 2^32 must not fail on 32-bit machines.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");
static_assert(sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

// False on the first failure. A descriptor left non-blocking by whoever started the program
// is waited on rather than given up on. `largest` is the most one write may carry: a packet
// socket takes each write as one message, and refuses one larger than it can hold, so it
// shrinks until the socket takes it.
bool write_all(int fd, const unsigned char* bytes, std::size_t count, std::size_t& largest) {
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, std::min(count, largest));
    if (written > 0) {
      bytes += written;
      count -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      pollfd ready{fd, POLLOUT, 0};
      (void)::poll(&ready, 1, -1);  // the write that follows reports any failure
    } else if (written < 0 && errno == EMSGSIZE && largest > 1) {
      largest = std::min(count, largest) / 2;
    } else if (written == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

FileIdentity identity_from(const struct stat& status) {
  return {FileIdentity::Known::kFile, status.st_dev, status.st_ino, status.st_mode & S_IFMT};
}

int open_now(const char* path, int flags, mode_t mode) {
  int fd = -1;
  do {
    fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A non-blocking open of a regular file fails with EWOULDBLOCK only while a lease on it (Samba
// oplocks, NFS delegations, F_SETLEASE) is being broken; a blocking open then waits for the
// holder, for at most the kernel's /proc/sys/fs/lease-break-time. The name may have been
// replaced in the meantime by a FIFO, whose open could wait for ever, so the file is pinned
// first, checked, and opened through its pinned path.
int open_after_lease_break(const char* path, int flags, mode_t mode) {
  const int pinned = open_now(path, O_PATH, 0);
  if (pinned < 0) {
    return -1;
  }
  int fd = -1;
  struct stat status {};
  if (::fstat(pinned, &status) == 0 && S_ISREG(status.st_mode)) {
    char pinned_path[32];
    (void)std::snprintf(pinned_path, sizeof pinned_path, "/proc/self/fd/%d", pinned);
    fd = open_now(pinned_path, flags, mode);
  }
  (void)::close(pinned);  // only a path: nothing was read or written through it
  return fd;
}

// Opens without waiting (for the other end of a FIFO, say), then lets reads and writes wait as
// usual. The descriptor is kept above the standard ones: were 0-2 closed with no /dev/null to
// fill them, the transcript would otherwise be written into the file.
int open_file(const char* path, int flags, mode_t mode = 0) {
  int fd = open_now(path, flags | O_NONBLOCK, mode);
  if (fd < 0 && errno == EWOULDBLOCK) {
    fd = open_after_lease_break(path, flags, mode);
  }
  if (fd >= 0 && fd <= STDERR_FILENO) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    (void)::close(fd);  // nothing was read or written through it
    fd = moved;
  }
  if (fd < 0) {
    return -1;
  }
  const int status = ::fcntl(fd, F_GETFL);
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    (void)::close(fd);
    return -1;
  }
  return fd;
}

volatile std::sig_atomic_t lock_wait_over = 0;

void end_lock_wait(int /*signal*/) { lock_wait_over = 1; }

// Waits in flock until the lock is had or kLockWaitSeconds have passed. A timer's signal,
// caught without SA_RESTART, interrupts the wait; it repeats, so a signal that comes just
// before flock starts to sleep is followed by another.
bool wait_for_lock(int fd) {
  struct sigaction ending {};
  ending.sa_handler = end_lock_wait;
  sigemptyset(&ending.sa_mask);
  struct sigaction previous {};
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGALRM;
  timer_t timer{};
  if (::sigaction(SIGALRM, &ending, &previous) != 0) {
    return false;
  }
  if (::timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) {
    (void)::sigaction(SIGALRM, &previous, nullptr);
    return false;
  }
  const itimerspec bound{{0, 10'000'000}, {kLockWaitSeconds, 0}};
  lock_wait_over = 0;
  bool go_on = false;
  if (::timer_settime(timer, 0, &bound, nullptr) == 0) {
    while (!lock_wait_over) {
      if (::flock(fd, LOCK_EX) == 0 || errno != EINTR) {
        go_on = true;  // locked, or locks stopped working: see lock_exclusively
        break;
      }
    }
  }
  // Deleting the timer also discards a signal of it still pending.
  (void)::timer_delete(timer);
  (void)::sigaction(SIGALRM, &previous, nullptr);
  return go_on;
}

// True once this run holds the lock, and on a file system without locks (ENOLCK, say): the
// file is still written then, only runs sharing it are not kept apart. False if another process
// held the lock for kLockWaitSeconds.
bool lock_exclusively(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
    return true;
  }
  return wait_for_lock(fd);
}

// Empties a locked file. One already empty, a new file most often, is left alone: ext4 flushes a
// file to disk as it is closed once it has been truncated to nothing, to keep the contents it
// replaced from being lost in a crash, and an empty file replaced none. The size is read under
// the lock, so a result another run wrote meanwhile is still emptied.
bool empty_locked(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) == 0 && status.st_size == 0) {
    return true;
  }
  return ::ftruncate(fd, 0) == 0;
}

}  // namespace

FileIdentity identity_of_descriptor(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) == 0) {
    return identity_from(status);
  }
  return {errno == EBADF ? FileIdentity::Known::kNoFile : FileIdentity::Known::kUnknown};
}

FileIdentity identity_of_path(const char* path) {
  struct stat status {};
  if (::stat(path, &status) == 0) {
    return identity_from(status);
  }
  return {errno == ENOENT || errno == ENOTDIR ? FileIdentity::Known::kNoFile
                                              : FileIdentity::Known::kUnknown};
}

bool may_be_same_file(const FileIdentity& a, const FileIdentity& b, bool terminals_apart) {
  using Known = FileIdentity::Known;
  if (a.known == Known::kNoFile || b.known == Known::kNoFile) {
    return false;
  }
  if (terminals_apart && (a.is(S_IFCHR) || b.is(S_IFCHR))) {
    return false;
  }
  if (a.known == Known::kUnknown || b.known == Known::kUnknown) {
    return true;
  }
  return a.device == b.device && a.inode == b.inode;
}

InputFile::InputFile(const char* path) : fd_(open_file(path, O_RDONLY)) {}

InputFile::~InputFile() { close(); }

FileIdentity InputFile::identity() const {
  return fd_ < 0 ? FileIdentity{} : identity_of_descriptor(fd_);
}

std::span<unsigned char> InputFile::read_into(std::span<unsigned char> room) {
  if (fd_ < 0 || failed_ || ended_ || room.empty()) {
    return {};
  }
  for (;;) {
    const ssize_t count = ::read(fd_, room.data(), room.size());
    if (count > 0) {
      return room.first(static_cast<std::size_t>(count));
    }
    if (count == 0) {
      ended_ = true;
      return {};
    }
    if (errno != EINTR) {
      failed_ = true;
      return {};
    }
  }
}

bool InputFile::close() {
  if (fd_ < 0) {
    return false;
  }
  // Linux releases the descriptor even when close reports an error, so it is never retried.
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return closed;
}

OutputFile::OutputFile(const char* path, std::span<const FileIdentity> keep_apart) {
  // Read and write where the read-back can go through this open file: a regular file, or a new
  // one. Anything else is opened for writing only: opening a FIFO for reading would make this
  // run its own reader (and wake a reader waiting in its open). Opened without O_TRUNC: whether
  // the file may be emptied is known only once it is open.
  const FileIdentity named = identity_of_path(path);
  const bool may_read = named.known == FileIdentity::Known::kNoFile || named.is(S_IFREG);
  int fd = -1;
  bool readable = false;
  FileIdentity self;
  for (const int access : {O_RDWR, O_WRONLY}) {
    if (access == O_RDWR && !may_read) {
      continue;
    }
    // Write-only also for an existing file without read permission.
    fd = open_file(path, access | O_CREAT, 0666);
    if (fd < 0) {
      continue;
    }
    self = identity_of_descriptor(fd);
    if (access == O_WRONLY || self.is(S_IFREG)) {
      readable = access == O_RDWR;
      break;
    }
    (void)::close(fd);  // replaced since the stat; nothing was written through it
    fd = -1;
  }
  if (fd < 0) {
    return;
  }
  bool usable = self.known == FileIdentity::Known::kFile;
  for (const FileIdentity& other : keep_apart) {
    usable = usable && !may_be_same_file(self, other);
  }
  if (usable && self.is(S_IFREG)) {
    // Locked before it is emptied, so no other run sees it emptied under its own read-back.
    // Only a regular file holds a result to protect.
    usable = lock_exclusively(fd) && empty_locked(fd);
  }
  if (!usable) {
    // Nothing was written through it, so there is nothing that the close could lose.
    (void)::close(fd);
    return;
  }
  fd_ = fd;
  readable_ = readable;
}

OutputFile::~OutputFile() {
  close();
  release();
}

void OutputFile::write_block(std::span<const unsigned char> bytes) {
  // After one failure the file is known to be incomplete; a later write that succeeded would
  // leave a gap in it.
  if (fd_ < 0 || failed_) {
    return;
  }
  std::size_t largest = SIZE_MAX;
  failed_ = !write_all(fd_, bytes.data(), bytes.size(), largest);
  if (!failed_) {
    written_ += bytes.size();
  }
}

bool OutputFile::close() {
  if (fd_ < 0) {
    return false;
  }
  // A second descriptor of the same open file keeps it, and its lock, past the close. If none
  // can be had, nothing can be read back.
  if (readable_) {
    read_fd_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  }
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return closed && !failed_;
}

bool OutputFile::show_written(std::span<unsigned char> buffer, bool by_sendfile) {
  if (read_fd_ < 0 || buffer.empty()) {
    return false;
  }
  // Exactly the bytes written, by offset: a writer that appends meanwhile cannot make the
  // read-back longer, and one that cuts the file short makes it fail.
  off_t offset = 0;
  const auto left = [&] { return written_ - static_cast<std::uint64_t>(offset); };
  while (by_sendfile && left() > 0) {
    const ssize_t sent = ::sendfile(
        STDOUT_FILENO, read_fd_, &offset,
        static_cast<std::size_t>(std::min<std::uint64_t>(left(), std::uint64_t{1} << 30)));
    if (sent == 0) {
      return false;  // the file ends before the bytes written
    }
    if (sent < 0 && errno == EAGAIN) {
      pollfd ready{STDOUT_FILENO, POLLOUT, 0};
      (void)::poll(&ready, 1, -1);
    } else if (sent < 0 && errno != EINTR) {
      // An append-only or packet destination, an old kernel, or a failure on either side: the
      // loop below goes on from the offset reached, and tells a failed read from a failed write.
      break;
    }
  }
  while (left() > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left(), buffer.size()));
    const ssize_t got = ::pread(read_fd_, buffer.data(), want, offset);
    if (got > 0) {
      write_standard_output(buffer.first(static_cast<std::size_t>(got)));
      offset += got;
    } else if (got == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

void OutputFile::release() {
  if (read_fd_ >= 0) {
    (void)::close(read_fd_);  // its writes were reported by close()
    read_fd_ = -1;
  }
}

void write_standard_output(std::span<const unsigned char> bytes) {
  // Kept from one call to the next, so a packet socket is measured once.
  static std::size_t largest = SIZE_MAX;
  (void)write_all(STDOUT_FILENO, bytes.data(), bytes.size(), largest);
}
