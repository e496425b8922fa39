// Which file a name or a descriptor leads to, and the one rule for whether two of the run's
// files may be one.
#pragma once

#include <sys/types.h>

// Which file a name or a descriptor leads to, as far as could be found out.
struct FileIdentity {
  enum class Known { kNoFile, kFile, kUnknown };
  Known known = Known::kNoFile;
  dev_t device = 0;
  ino_t inode = 0;
  mode_t type = 0;  // the S_IFMT bits of st_mode
  [[nodiscard]] bool is(mode_t file_type) const {
    return known == Known::kFile && type == file_type;
  }
};

// kNoFile for a closed descriptor, kUnknown if fstat fails otherwise.
[[nodiscard]] FileIdentity identity_of_descriptor(int fd);
// The file the name leads to, through symbolic links. kNoFile if no file is behind the name for
// this run: nothing is there (ENOENT, ENOTDIR), or its links go round in a loop or name a file
// no file system can hold (ELOOP, ENAMETOOLONG). ELOOP also ends a chain of more than 40 links
// that leads to a real file; the run cannot open that file either, and takes it for missing.
// kUnknown for any other failure: a link into a directory this user may not search (EACCES)
// hides a file that may well exist, under other names too.
[[nodiscard]] FileIdentity identity_of_path(const char* path);
// Whether `error`, from a stat or an open of a name, says that no file is behind it, as above.
[[nodiscard]] bool means_no_file(int error);

// Whether writing to one of `a` and `b` could feed or destroy the other, which is so exactly when
// they may be one file. The rule for every pair of the run ("file.txt" and "file.c", "file.txt"
// and standard output, standard output and "file.c"):
// - the same device and inode is one file, whatever its type (regular, FIFO, socket, device);
// - an identity that could not be found out may be any file that exists;
// - with `terminals_apart`, a character device is never taken for a loop: a terminal or
//   /dev/null that is both read and written gives back what a person types, or nothing.
[[nodiscard]] bool may_be_same_file(const FileIdentity& a, const FileIdentity& b,
                                    bool terminals_apart = false);
