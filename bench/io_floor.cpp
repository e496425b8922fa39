// The I/O floor of one run: the same reads and writes, of the same sizes, as `remove` makes,
// with no per-byte work. Reads "file.c" in blocks and writes each to standard output, writes
// KEPT bytes to "file.txt" in whole buffers, then reads "file.txt" back to standard output.
// Usage: io_floor KEPT
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "FileStream.hpp"

namespace {

void write_all(int fd, const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written <= 0) {
      return;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
}

void copy_to_standard_output(int fd, unsigned char* buffer) {
  for (ssize_t got; (got = ::read(fd, buffer, kStreamBufferSize)) > 0;) {
    write_all(STDOUT_FILENO, buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    return 2;
  }
  std::size_t kept = std::strtoull(argv[1], nullptr, 10);
  const auto buffer = std::make_unique<unsigned char[]>(kStreamBufferSize);

  const int source = ::open("file.c", O_RDONLY);
  const int result = ::open("file.txt", O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (source < 0 || result < 0) {
    return 1;
  }
  copy_to_standard_output(source, buffer.get());
  ::close(source);
  for (; kept > 0;) {
    const std::size_t chunk = kept < kStreamBufferSize ? kept : kStreamBufferSize;
    write_all(result, buffer.get(), chunk);
    kept -= chunk;
  }
  ::close(result);

  const int back = ::open("file.txt", O_RDONLY);
  if (back < 0) {
    return 1;
  }
  copy_to_standard_output(back, buffer.get());
  ::close(back);
  return 0;
}
