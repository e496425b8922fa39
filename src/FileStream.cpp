#include "FileStream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

// Files past 2 GiB and inode numbers past 2^32 must not fail on 32-bit machines.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");
static_assert(sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

// False on the first failure. A descriptor left non-blocking by whoever started the program
// is waited on rather than given up on.
bool write_all(int fd, const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written > 0) {
      bytes += written;
      count -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      pollfd ready{fd, POLLOUT, 0};
      (void)::poll(&ready, 1, -1);  // the write that follows reports any failure
    } else if (written == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

FileIdentity identity_from(const struct stat& status) {
  return {FileIdentity::Known::kFile, status.st_dev, status.st_ino, S_ISREG(status.st_mode)};
}

// Opens without waiting (for the other end of a FIFO, say), then lets reads and writes wait as
// usual. The descriptor is kept above the standard ones: were 0-2 closed with no /dev/null to
// fill them, the transcript would otherwise be written into the file.
int open_file(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
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

// A file system without locks still gets its file; only runs sharing it are not kept apart.
void lock_exclusively(int fd) {
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
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

bool may_be_same_file(const FileIdentity& a, const FileIdentity& b) {
  using Known = FileIdentity::Known;
  if (a.known == Known::kNoFile || b.known == Known::kNoFile) {
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
  // Opened without O_TRUNC: whether the file may be emptied is known only once it is open.
  const int fd = open_file(path, O_WRONLY | O_CREAT, 0666);
  if (fd < 0) {
    return;
  }
  const FileIdentity self = identity_of_descriptor(fd);
  bool usable = self.known == FileIdentity::Known::kFile;
  for (const FileIdentity& other : keep_apart) {
    usable = usable && !may_be_same_file(self, other);
  }
  if (usable && self.regular) {
    // Locked before it is emptied, so no other run sees it emptied under its own read-back.
    // Only a regular file holds a result to protect; a kept descriptor of a FIFO would count
    // as a writer and make the read-back wait forever.
    lock_exclusively(fd);
    usable = ::ftruncate(fd, 0) == 0;
  }
  if (!usable) {
    // Nothing was written through it, so there is nothing that the close could lose.
    (void)::close(fd);
    return;
  }
  fd_ = fd;
  regular_ = self.regular;
}

OutputFile::~OutputFile() {
  close();
  unlock();
}

void OutputFile::write_block(std::span<const unsigned char> bytes) {
  // After one failure the file is known to be incomplete; a later write that succeeded would
  // leave a gap in it.
  if (fd_ < 0 || failed_) {
    return;
  }
  failed_ = !write_all(fd_, bytes.data(), bytes.size());
  if (!failed_) {
    written_ += bytes.size();
  }
}

bool OutputFile::close() {
  if (fd_ < 0) {
    return false;
  }
  // A second descriptor of the same open file keeps the lock past the close. If none can be
  // had, the lock goes with the close, and a read-back cut short by another run says so.
  lock_fd_ = regular_ ? ::fcntl(fd_, F_DUPFD_CLOEXEC, STDERR_FILENO + 1) : -1;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return closed && !failed_;
}

void OutputFile::unlock() {
  if (lock_fd_ >= 0) {
    (void)::close(lock_fd_);  // only a lock: nothing was written through it
    lock_fd_ = -1;
  }
}

void write_standard_output(std::span<const unsigned char> bytes) {
  (void)write_all(STDOUT_FILENO, bytes.data(), bytes.size());
}
