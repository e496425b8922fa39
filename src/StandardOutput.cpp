#include "StandardOutput.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "BoundedWait.hpp"

void occupy_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) {
      // open takes the lowest free descriptor, which is this one. Only the null device may fill
      // it: in a container another file can be mounted over "/dev/null", and the transcript
      // would go into that file. Otherwise it stays closed; the files are kept off it anyway.
      const int null = ::open("/dev/null", O_RDWR | O_NOCTTY);
      struct stat status {};
      if (null >= 0 && (::fstat(null, &status) != 0 || !S_ISCHR(status.st_mode) ||
                        status.st_rdev != makedev(1, 3))) {
        (void)::close(null);  // nothing was written through it
      }
    }
  }
}

bool write_all(int fd, std::span<const unsigned char> bytes, std::size_t& largest) {
  while (!bytes.empty()) {
    // A descriptor left non-blocking by whoever started the program is waited on rather than
    // given up on.
    const ssize_t written = retry_call(
        fd, POLLOUT, [&] { return ::write(fd, bytes.data(), std::min(bytes.size(), largest)); });
    if (written > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(written));
    } else if (written < 0 && errno == EMSGSIZE && largest > 1) {
      largest = std::max<std::size_t>(std::min(bytes.size(), largest) / 2, 1);
    } else {
      return false;
    }
  }
  return true;
}

namespace {

bool standard_output_broken = false;

}  // namespace

void write_standard_output(std::span<const unsigned char> bytes) {
  // Kept from one call to the next, so a packet socket is measured once.
  static std::size_t largest = SIZE_MAX;
  if (!standard_output_broken) {
    standard_output_broken = !write_all(STDOUT_FILENO, bytes, largest);
  }
}

bool standard_output_failed() { return standard_output_broken; }
