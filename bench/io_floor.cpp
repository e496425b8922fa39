// The I/O floor of one run: the system calls that `remove` makes, with the same flags, in the
// same sizes and counts, and no per-byte work. Reads "file.c" in blocks into a static buffer,
// behind the bytes "kept" so far, and echoes each block with one write; KEPT bytes in all go to
// "file.txt", shared out over the blocks in proportion to their sizes and written whenever 128
// KiB or more have gathered, as the program writes them; then the read-back goes through a
// duplicate of the descriptor that wrote them: by sendfile into a character device, by pread
// and write into anything else. bench.py checks with `strace -c` that the calls match the
// program's before it times anything. It loads the C library alone, as the program does. Usage:
// io_floor KEPT [sendfile|copy_file_range|pread] The optional word picks the read-back into a
// regular file, to measure the ways side by side.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "FileStream.hpp"

namespace {

constexpr char kBanner[] = "\n\n\t********** Printing data from file.*********\t\n\n";
// The summary of the program is one write of this size, give or take the digits.
constexpr char kSummary[] =
    "\n\t....********quntity displaying*********.....\n No. of characters in file.. 0 ...\n"
    " No. of newlines in file..0 ...\n No. of tab's 0...\n No. of spaces 0...\n";

unsigned char buffer[2 * kStreamBufferSize];

enum class ReadBack { kSendfile, kCopyFileRange, kPread };

// Like the program's writes: resumes a partial write, gives up on a failure.
void write_all(int fd, const void* bytes, std::size_t count) {
  const auto* at = static_cast<const unsigned char*>(bytes);
  while (count > 0) {
    const ssize_t written = ::write(fd, at, count);
    if (written <= 0) {
      return;
    }
    at += written;
    count -= static_cast<std::size_t>(written);
  }
}

int open_cleared(const char* path, int flags) {
  const int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd >= 0) {
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  return fd;
}

// One call of the chosen read-back from `offset`; what it moved, 0 at the end, -1 on failure.
ssize_t read_back_once(ReadBack way, int from, off_t& offset, std::uint64_t left) {
  switch (way) {
    case ReadBack::kSendfile:
      return ::sendfile(STDOUT_FILENO, from, &offset,
                        static_cast<std::size_t>(std::min<std::uint64_t>(left, 1U << 30)));
    case ReadBack::kCopyFileRange:
      return ::copy_file_range(from, &offset, STDOUT_FILENO, nullptr,
                               static_cast<std::size_t>(std::min<std::uint64_t>(left, 1U << 30)),
                               0);
    case ReadBack::kPread: {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof buffer));
      const ssize_t got = ::pread(from, buffer, want, offset);
      if (got > 0) {
        write_all(STDOUT_FILENO, buffer, static_cast<std::size_t>(got));
        offset += got;
      }
      return got;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    return 2;
  }
  std::uint64_t kept = std::strtoull(argv[1], nullptr, 10);
  ReadBack chosen = ReadBack::kPread;
  if (argc == 3) {
    chosen = std::strcmp(argv[2], "sendfile") == 0          ? ReadBack::kSendfile
             : std::strcmp(argv[2], "copy_file_range") == 0 ? ReadBack::kCopyFileRange
                                                            : ReadBack::kPread;
  }

  for (int fd = 0; fd <= 2; ++fd) {
    (void)::fcntl(fd, F_GETFD);
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  struct stat status {};
  // Which file standard output is, and whether "file.txt" is it.
  (void)::fstat(STDOUT_FILENO, &status);
  const bool regular_output = S_ISREG(status.st_mode);
  const bool device_output = S_ISCHR(status.st_mode);
  if (regular_output) {
    (void)::stat("file.txt", &status);
  }
  write_all(STDOUT_FILENO, kBanner, sizeof kBanner - 1);

  const int source = open_cleared("file.c", O_RDONLY);
  (void)::fstat(source, &status);
  const auto size = static_cast<std::uint64_t>(status.st_size);
  kept = std::min(kept, size);  // so the kept bytes always fit behind a block
  (void)::stat("file.txt", &status);
  const int result = open_cleared("file.txt", O_RDWR | O_CREAT);
  (void)::fstat(result, &status);
  if (source < 0 || result < 0 || ::flock(result, LOCK_EX | LOCK_NB) != 0) {
    return 1;
  }
  (void)::stat("file.c", &status);
  (void)::fstat(result, &status);
  if (status.st_size != 0 && ::ftruncate(result, 0) != 0) {
    return 1;
  }

  std::uint64_t read = 0;
  std::uint64_t shared_out = 0;
  std::size_t gathered = 0;
  for (;;) {
    const ssize_t got = ::read(source, buffer + gathered, kStreamBufferSize);
    if (got <= 0) {
      break;
    }
    write_all(STDOUT_FILENO, buffer + gathered, static_cast<std::size_t>(got));
    read += static_cast<std::uint64_t>(got);
    const std::uint64_t due = read >= size
                                  ? kept
                                  : static_cast<std::uint64_t>(static_cast<long double>(kept) *
                                                               static_cast<long double>(read) /
                                                               static_cast<long double>(size));
    gathered += static_cast<std::size_t>(due - shared_out);
    shared_out = due;
    if (gathered >= kStreamBufferSize) {
      write_all(result, buffer, gathered);
      gathered = 0;
    }
  }
  write_all(result, buffer, gathered);
  write_all(STDOUT_FILENO, kSummary, sizeof kSummary - 1);
  (void)::close(source);
  write_all(STDOUT_FILENO, kBanner, sizeof kBanner - 1);

  const int back = ::fcntl(result, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  (void)::close(result);
  // As the program reads back: by sendfile into a character device, by pread and write into
  // anything else.
  const ReadBack way = device_output    ? ReadBack::kSendfile
                       : regular_output ? chosen
                                        : ReadBack::kPread;
  off_t offset = 0;
  while (static_cast<std::uint64_t>(offset) < kept) {
    if (read_back_once(way, back, offset, kept - static_cast<std::uint64_t>(offset)) <= 0) {
      break;
    }
  }
  (void)::close(back);
  return 0;
}
