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
      const int null = retry_call(-1, 0, [] { return ::open("/dev/null", O_RDWR | O_NOCTTY); });
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
int standard_output_lock = -1;  // an open file of "file.txt" of the run's own, for its lock

}  // namespace

void write_standard_output(std::span<const unsigned char> bytes) {
  // Kept from one call to the next, so a packet socket is measured once.
  static std::size_t largest = SIZE_MAX;
  if (!standard_output_broken) {
    standard_output_broken = !write_all(STDOUT_FILENO, bytes, largest);
  }
}

void write_standard_output(std::string_view text) {
  write_standard_output({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

bool standard_output_failed() { return standard_output_broken; }

void lock_standard_output_if_it_is(const char* path, const FileIdentity& output) {
  // Only a regular file holds a result to protect; one whose type is unknown may be one. Nothing
  // else is opened for the lock: opening a FIFO, even for a moment, would wake a writer waiting
  // in its own open.
  const auto may_hold_a_result = [](const FileIdentity& file) {
    return file.is(S_IFREG) || file.known == FileIdentity::Known::kUnknown;
  };
  if (!may_hold_a_result(output)) {
    return;
  }
  const FileIdentity named = identity_of_path(path);
  if (!may_hold_a_result(named) || !may_be_same_file(output, named)) {
    return;
  }
  // The lock goes on an open file of the run's own, not on standard output's, which the caller
  // may share (`exec >> file.txt`): a lock there would outlive a run that is killed. Opened for
  // reading, or for writing where it may not be read; neither changes the file.
  int fd = open_file(path, O_RDONLY);
  if (fd < 0 && errno == EACCES) {
    fd = open_file(path, O_WRONLY);
  }
  if (fd < 0) {
    // A file gone since it was looked at has no result to wait for. Any other failure (no
    // descriptor to spare, no permission, a lease not let go) leaves the transcript with no
    // lock, and it would land in another run's result unlocked: it has nowhere else to go.
    standard_output_broken = !means_no_file(errno);
    return;
  }
  if (!may_be_same_file(output, identity_of_descriptor(fd))) {
    (void)::close(fd);  // replaced since it was looked at; nothing was read or written through it
    return;
  }
  standard_output_lock = fd;
  standard_output_broken = !lock_exclusively(fd);
}

void unlock_standard_output() {
  if (standard_output_lock >= 0) {
    (void)::close(standard_output_lock);  // only locked; closing lets go of the lock
    standard_output_lock = -1;
  }
}
