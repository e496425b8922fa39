// Files over plain descriptors, for runs in hostile surroundings: each opens in one call,
// remembers whether any operation failed, and closes exactly once. A file whose open failed is
// never read, written or closed. Nothing here allocates or buffers: the caller owns the memory.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

// Large enough that a pass costs few system calls, small enough to stay in the L2 cache.
inline constexpr std::size_t kStreamBufferSize = std::size_t{128} * 1024;

// How long a run waits for another process to give up its lock on "file.txt" before it treats
// the file as one it cannot open. Long enough for any run that is making progress to finish a
// read-back; short enough that a lock held for ever (by a caller's `flock`, or by a run blocked
// on a pipe that nobody reads) does not hang this run.
inline constexpr int kLockWaitSeconds = 10;

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
// The file the name leads to, through symbolic links. kNoFile if nothing is there (ENOENT,
// ENOTDIR), kUnknown for any other failure.
[[nodiscard]] FileIdentity identity_of_path(const char* path);

// Whether writing to one of `a` and `b` could feed or destroy the other, which is so exactly when
// they may be one file. The rule for every pair of the run ("file.txt" and "file.c", "file.txt"
// and standard output, standard output and "file.c"):
// - the same device and inode is one file, whatever its type (regular, FIFO, socket, device);
// - an identity that could not be found out may be any file that exists;
// - with `terminals_apart`, a character device is never taken for a loop: a terminal or
//   /dev/null that is both read and written gives back what a person types, or nothing.
[[nodiscard]] bool may_be_same_file(const FileIdentity& a, const FileIdentity& b,
                                    bool terminals_apart = false);

class InputFile {
 public:
  // Opens `path` for reading, without waiting for the writer of a FIFO.
  explicit InputFile(const char* path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  [[nodiscard]] bool is_open() const { return fd_ >= 0; }
  // A read failed. The input then ends there, so callers can tell a cut-short pass from a whole
  // one.
  [[nodiscard]] bool failed() const { return failed_; }
  [[nodiscard]] FileIdentity identity() const;

  // Reads the next bytes into `room` with one read and returns the part it filled: empty at
  // end of input and after a read error.
  [[nodiscard]] std::span<unsigned char> read_into(std::span<unsigned char> room);

  // True if the descriptor closed cleanly. Only the first call on an open file does anything.
  bool close();

 private:
  int fd_ = -1;
  bool failed_ = false;
  bool ended_ = false;
};

class OutputFile {
 public:
  // Creates `path` or empties it, holding an exclusive lock on it from before the emptying
  // until release(), so that runs sharing the file do not mix their results. A regular file (or
  // a new one) is opened for reading too, so that the read-back goes through this same open
  // file and not through a name that may have been replaced since. Stays closed if it cannot be
  // opened for writing without waiting (a FIFO with no reader), if another process holds the
  // lock for longer than kLockWaitSeconds, or if it may be one of the files in `keep_apart`:
  // emptying that would destroy it.
  OutputFile(const char* path, std::span<const FileIdentity> keep_apart);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  [[nodiscard]] bool is_open() const { return fd_ >= 0; }
  // A write failed; everything given after it is dropped, so the file never has a gap.
  [[nodiscard]] bool failed() const { return failed_; }
  // Bytes written so far, all of them in place unless failed().
  [[nodiscard]] std::uint64_t written() const { return written_; }

  // Writes `bytes` at once. Does nothing on a file that did not open or after a failure.
  void write_block(std::span<const unsigned char> bytes);

  // Closes the descriptor written through, which is where some file systems (NFS) report a
  // write that failed; the open file and its lock are kept for show_written(). True only if
  // the file opened, every write succeeded and the close did too, i.e. the file holds every byte
  // given to it. Only the first call acts.
  bool close();
  // Copies the bytes written, from the file's first byte, to standard output: with sendfile if
  // `by_sendfile` (the kernel copies them, for a pipe or a device), else, or where sendfile
  // cannot, through `buffer`. Only a regular file opened for reading can show them: any other
  // file (a FIFO, a device) holds nothing that can be read back without taking it from its
  // reader or waiting for a person. False if it cannot, or if the file holds fewer bytes than
  // were written (cut short by another program, or a read failed); the bytes shown until then
  // stay shown.
  [[nodiscard]] bool show_written(std::span<unsigned char> buffer, bool by_sendfile);
  // Gives up the open file and its lock, letting other runs have it.
  void release();

 private:
  int fd_ = -1;
  int read_fd_ = -1;  // the same open file, kept past close() for the read-back and the lock
  bool readable_ = false;
  bool failed_ = false;
  std::uint64_t written_ = 0;
};

// Writes `bytes` to standard output, resuming partial writes, waiting while a non-blocking
// descriptor is full, and splitting writes that are too large for one message of a packet
// socket. Every byte of the transcript goes this way, so they stay in order. Failures are not
// reported: the transcript is best effort, and the run goes on to complete "file.txt".
void write_standard_output(std::span<const unsigned char> bytes);
