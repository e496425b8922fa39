#include "FileStream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

// False on the first failure. A descriptor left non-blocking by whoever started the program
// is waited on rather than given up on.
bool write_all(int fd, const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written >= 0) {
      bytes += written;
      count -= static_cast<std::size_t>(written);
    } else if (errno == EAGAIN) {
      pollfd ready{fd, POLLOUT, 0};
      ::poll(&ready, 1, -1);
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

InputFile::InputFile(const char* path) : fd_(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY)) {
  if (fd_ >= 0) {
    buffer_ = std::make_unique_for_overwrite<unsigned char[]>(kStreamBufferSize);
  }
}

InputFile::~InputFile() { close(); }

std::optional<FileId> InputFile::id() const {
  struct stat status {};
  if (fd_ < 0 || ::fstat(fd_, &status) != 0) {
    return std::nullopt;
  }
  return FileId{status.st_dev, status.st_ino};
}

std::span<const unsigned char> InputFile::read_block() {
  if (fd_ < 0 || failed_ || ended_) {
    return {};
  }
  for (;;) {
    const ssize_t count = ::read(fd_, buffer_.get(), kStreamBufferSize);
    if (count > 0) {
      return {buffer_.get(), static_cast<std::size_t>(count)};
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
  buffer_.reset();
  return closed;
}

OutputFile::OutputFile(const char* path, std::optional<FileId> input) {
  // Opened without O_TRUNC: whether the file may be emptied is known only once it is open.
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    return;
  }
  struct stat status {};
  const bool usable = ::fstat(fd, &status) == 0 &&
                      !(input && *input == FileId{status.st_dev, status.st_ino}) &&
                      (!S_ISREG(status.st_mode) || ::ftruncate(fd, 0) == 0);
  if (!usable) {
    // Nothing was written through it, so there is nothing that the close could lose.
    ::close(fd);
    return;
  }
  fd_ = fd;
  buffer_ = std::make_unique_for_overwrite<unsigned char[]>(kStreamBufferSize);
  next_ = buffer_.get();
  end_ = next_ + kStreamBufferSize;
}

OutputFile::~OutputFile() { close(); }

void OutputFile::drain() {
  const auto pending = static_cast<std::size_t>(next_ - buffer_.get());
  // After one failure the file is known to be incomplete; further writes could only waste time.
  if (!failed_ && pending > 0) {
    failed_ = !write_all(fd_, buffer_.get(), pending);
  }
  next_ = buffer_.get();
}

void OutputFile::write_block(std::span<const unsigned char> bytes) {
  if (fd_ < 0) {
    return;
  }
  // Fill the buffer, write it whole, and repeat: "file.txt" gets few, large writes.
  while (!bytes.empty()) {
    const std::size_t taken = std::min(bytes.size(), static_cast<std::size_t>(end_ - next_));
    next_ = std::copy_n(bytes.begin(), taken, next_);
    bytes = bytes.subspan(taken);
    if (next_ == end_) {
      drain();
    }
  }
}

bool OutputFile::close() {
  if (fd_ < 0) {
    return false;
  }
  drain();
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  buffer_.reset();
  next_ = end_ = nullptr;
  return closed && !failed_;
}

void write_standard_output(std::span<const unsigned char> bytes) {
  std::fflush(stdout);
  (void)write_all(STDOUT_FILENO, bytes.data(), bytes.size());
}
