#include "FileStream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "BoundedWait.hpp"
#include "StandardOutput.hpp"

// Files past 2 GiB must not fail on 32-bit machines.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

struct OpenedForWriting {
  int fd = -1;
  bool readable = false;
  FileIdentity identity;
};

// Read and write where the read-back can go through this open file: a regular file, or a new
// one. Anything else is opened for writing only: opening a FIFO for reading would make this run
// its own reader, and wake a reader waiting in its open with nothing. Write-only too for an
// existing file without read permission, and only then: any other failure (a lease that was not
// let go in time) would meet the write-only open too. Opened without O_TRUNC: whether the file
// may be emptied is known only once it is open.
OpenedForWriting open_for_writing(const char* path) {
  const FileIdentity named = identity_of_path(path);
  if (named.known == FileIdentity::Known::kNoFile || named.is(S_IFREG)) {
    const int fd = open_file(path, O_RDWR | O_CREAT, 0666);
    const FileIdentity opened = fd < 0 ? FileIdentity{} : identity_of_descriptor(fd);
    if (opened.is(S_IFREG)) {
      return {fd, true, opened};
    }
    if (fd >= 0) {
      (void)::close(fd);  // replaced since the stat; nothing was written through it
    } else if (errno != EACCES) {
      return {};
    }
  }
  const int fd = open_file(path, O_WRONLY | O_CREAT, 0666);
  return {fd, false, fd < 0 ? FileIdentity{} : identity_of_descriptor(fd)};
}

// Whether emptying `self` could destroy one of `others`, or a file not known at all.
bool may_be_another_file_of_the_run(const FileIdentity& self,
                                    std::span<const FileIdentity> others) {
  return self.known != FileIdentity::Known::kFile ||
         std::any_of(others.begin(), others.end(),
                     [&](const FileIdentity& other) { return may_be_same_file(self, other); });
}

// Locks a regular file before it is emptied, so no other run sees it emptied under its own
// read-back. One already empty, a new file most often, is left alone: ext4 flushes a file to
// disk as it is closed once it has been truncated to nothing, to keep the contents it replaced
// from being lost in a crash, and an empty file replaced none. The size is read under the lock,
// so a result another run wrote meanwhile is still emptied. Not if the file is now the one at
// `keep_apart_path`, which the lock does not keep from changing.
bool lock_and_empty(int fd, const FileIdentity& self, const char* keep_apart_path) {
  if (!lock_exclusively(fd) || may_be_same_file(self, identity_of_path(keep_apart_path))) {
    return false;
  }
  struct stat status {};
  if (::fstat(fd, &status) == 0 && status.st_size == 0) {
    return true;
  }
  return ::ftruncate(fd, 0) == 0;
}

}  // namespace

InputFile::InputFile(const char* path) : fd_(open_file(path, O_RDONLY)) {}

InputFile::~InputFile() { close(); }

FileIdentity InputFile::identity() const {
  return fd_ < 0 ? FileIdentity{} : identity_of_descriptor(fd_);
}

std::span<unsigned char> InputFile::read_into(std::span<unsigned char> room) {
  if (fd_ < 0 || failed_ || ended_) {
    return {};
  }
  const ssize_t count =
      retry_call(fd_, POLLIN, [&] { return ::read(fd_, room.data(), room.size()); });
  if (count > 0) {
    return room.first(static_cast<std::size_t>(count));
  }
  if (count == 0) {
    ended_ = true;
  } else {
    failed_ = true;
  }
  return {};
}

void InputFile::close() {
  if (fd_ >= 0) {
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    (void)::close(fd_);
    fd_ = -1;
  }
}

OutputFile::OutputFile(const char* path, std::span<const FileIdentity> keep_apart,
                       const char* keep_apart_path) {
  const OpenedForWriting opened = open_for_writing(path);
  if (opened.fd < 0) {
    return;
  }
  // Only a regular file holds a result to protect with the lock.
  if (may_be_another_file_of_the_run(opened.identity, keep_apart) ||
      (opened.identity.is(S_IFREG) &&
       !lock_and_empty(opened.fd, opened.identity, keep_apart_path))) {
    // Nothing was written through it, so there is nothing that the close could lose.
    (void)::close(opened.fd);
    return;
  }
  fd_ = opened.fd;
  readable_ = opened.readable;
}

OutputFile::~OutputFile() {
  finish_writing();
  close_and_unlock();
}

void OutputFile::write_block(std::span<const unsigned char> bytes) {
  // After one failure the file is known to be incomplete; a later write that succeeded would
  // leave a gap in it.
  if (fd_ < 0 || failed_) {
    return;
  }
  std::size_t largest = SIZE_MAX;
  failed_ = !write_all(fd_, bytes, largest);
  if (!failed_) {
    written_ += bytes.size();
  }
}

bool OutputFile::finish_writing() {
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

bool OutputFile::read_back_to_standard_output(std::span<unsigned char> buffer, bool by_sendfile) {
  if (read_fd_ < 0) {
    return false;
  }
  // Exactly the bytes written, by offset: a writer that appends meanwhile cannot make the
  // read-back longer, and one that cuts the file short makes it fail.
  off_t offset = 0;
  const auto left = [&] { return written_ - static_cast<std::uint64_t>(offset); };
  // Once standard output has failed nothing more goes there, and nothing more is read for it.
  while (by_sendfile && left() > 0 && !standard_output_failed()) {
    const ssize_t sent = retry_call(STDOUT_FILENO, POLLOUT, [&] {
      return ::sendfile(
          STDOUT_FILENO, read_fd_, &offset,
          static_cast<std::size_t>(std::min<std::uint64_t>(left(), std::uint64_t{1} << 30)));
    });
    if (sent == 0) {
      return false;  // the file ends before the bytes written
    }
    if (sent < 0) {
      // An append-only destination, an old kernel, or a failure on either side: the
      // loop below goes on from the offset reached, and tells a failed read from a failed write.
      break;
    }
  }
  while (left() > 0 && !standard_output_failed()) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left(), buffer.size()));
    const ssize_t got = retry_call(read_fd_, POLLIN,
                                   [&] { return ::pread(read_fd_, buffer.data(), want, offset); });
    if (got <= 0) {
      return false;
    }
    write_standard_output(buffer.first(static_cast<std::size_t>(got)));
    offset += got;
  }
  return !standard_output_failed();
}

void OutputFile::close_and_unlock() {
  if (read_fd_ >= 0) {
    (void)::close(read_fd_);  // its writes were reported by finish_writing()
    read_fd_ = -1;
  }
}
