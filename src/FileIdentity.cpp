#include "FileIdentity.hpp"

#include <sys/stat.h>

#include <cerrno>

// Inode numbers past 2^32 must not be cut short on 32-bit machines.
static_assert(sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

FileIdentity identity_from(const struct stat& status) {
  return {FileIdentity::Known::kFile, status.st_dev, status.st_ino, status.st_mode & S_IFMT};
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
  return {means_no_file(errno) ? FileIdentity::Known::kNoFile : FileIdentity::Known::kUnknown};
}

bool means_no_file(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
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
