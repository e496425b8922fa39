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

// Which file a name or a descriptor leads to, as far as could be found out.
struct FileIdentity {
  enum class Known { kNoFile, kFile, kUnknown };
  Known known = Known::kNoFile;
  dev_t device = 0;
  ino_t inode = 0;
  bool regular = false;
};

// kNoFile for a closed descriptor, kUnknown if fstat fails otherwise.
[[nodiscard]] FileIdentity identity_of_descriptor(int fd);
// kNoFile if nothing is there (ENOENT, ENOTDIR), kUnknown for any other failure.
[[nodiscard]] FileIdentity identity_of_path(const char* path);
// Whether `a` and `b` could be one file. An unknown identity could be any file, so it is
// treated as the same as any other that exists.
[[nodiscard]] bool may_be_same_file(const FileIdentity& a, const FileIdentity& b);

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
  // until unlock(), so that runs sharing the file wait for one another. Stays closed if it
  // cannot be opened for writing without waiting (a FIFO with no reader), or if it may be one
  // of the files in `keep_apart`: emptying that would destroy it.
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

  // Closes the file for writing; the lock stays. True only if the file opened, every write
  // succeeded and the close did too, i.e. the file holds every byte given to it. Only the
  // first call acts.
  bool close();
  // Lets other runs have the file.
  void unlock();

 private:
  int fd_ = -1;
  int lock_fd_ = -1;
  bool regular_ = false;
  bool failed_ = false;
  std::uint64_t written_ = 0;
};

// Writes `bytes` to standard output, resuming partial writes and waiting while a non-blocking
// descriptor is full. Every byte of the transcript goes this way, so they stay in order.
// Failures are not reported: the transcript is best effort, and the run goes on to complete
// "file.txt".
void write_standard_output(std::span<const unsigned char> bytes);
