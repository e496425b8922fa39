#include "FileStream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

bool InputFile::refill() {
  if (fd_ < 0 || failed_ || ended_) {
    return false;
  }
  for (;;) {
    const ssize_t count = ::read(fd_, buffer_.get(), kStreamBufferSize);
    if (count > 0) {
      next_ = buffer_.get();
      end_ = next_ + count;
      return true;
    }
    if (count == 0) {
      ended_ = true;
      return false;
    }
    if (errno != EINTR) {
      failed_ = true;
      return false;
    }
  }
}

std::span<const unsigned char> InputFile::read_block() {
  if (next_ == end_ && !refill()) {
    return {};
  }
  const std::span<const unsigned char> block(next_, end_);
  next_ = end_;
  return block;
}

bool InputFile::close() {
  if (fd_ < 0) {
    return false;
  }
  // Linux releases the descriptor even when close reports an error, so it is never retried.
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  buffer_.reset();
  next_ = end_ = nullptr;
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

bool OutputFile::write_all(const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd_, bytes, count);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

bool OutputFile::drain() {
  if (fd_ < 0) {
    return false;
  }
  const std::size_t pending = static_cast<std::size_t>(next_ - buffer_.get());
  // After one failure the file is known to be incomplete; further writes could only waste time.
  if (!failed_ && pending > 0) {
    failed_ = !write_all(buffer_.get(), pending);
  }
  next_ = buffer_.get();
  return true;
}

void OutputFile::write_block(std::span<const unsigned char> bytes) {
  if (fd_ < 0) {
    return;
  }
  const auto room = static_cast<std::size_t>(end_ - next_);
  if (bytes.size() <= room) {
    next_ = std::copy(bytes.begin(), bytes.end(), next_);
    return;
  }
  drain();
  if (bytes.size() < kStreamBufferSize) {
    next_ = std::copy(bytes.begin(), bytes.end(), next_);
  } else if (!failed_) {
    failed_ = !write_all(bytes.data(), bytes.size());
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
