// The run's two files over plain descriptors, for runs in hostile surroundings: each opens as it
// is made, remembers whether any operation failed, and closes exactly once. A file whose open
// failed is never read, written or closed. Nothing here allocates or buffers: the caller owns
// the memory. Opens never wait for the other end of a FIFO; the waits for a lease and for the
// lock are those of BoundedWait.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "FileIdentity.hpp"

// Large enough that a pass costs few system calls, small enough to stay in the L2 cache.
inline constexpr std::size_t kStreamBufferSize = std::size_t{128} * 1024;

class InputFile {
 public:
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

  // Closes the descriptor; only the first call on an open file does anything. What it reports is
  // not looked at: a file only read cannot lose data in its close.
  void close();

 private:
  int fd_ = -1;
  bool failed_ = false;
  bool ended_ = false;
};

class OutputFile {
 public:
  // Creates `path` or empties it, holding an exclusive lock on it from before the emptying
  // until close_and_unlock(), so that runs sharing the file do not mix their results. A regular
  // file (or a new one) is opened for reading too, so that the read-back goes through this same
  // open file and not through a name that may have been replaced since. Stays closed if it
  // cannot be opened for writing without waiting (a FIFO with no reader), if another process
  // holds the lock for longer than kLockWaitSeconds, if it cannot be emptied (ftruncate fails),
  // or if it may be one of the files in `keep_apart`, or the file at `keep_apart_path` as it is
  // once the lock is held, just before the emptying (a file saved there since, by a rename or
  // into a name that was missing): emptying that would destroy it.
  OutputFile(const char* path, std::span<const FileIdentity> keep_apart,
             const char* keep_apart_path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes `bytes` at once. Does nothing on a file that did not open, or after a failed write:
  // everything given after one is dropped, so the file never has a gap.
  void write_block(std::span<const unsigned char> bytes);

  // Closes the descriptor written through, which is where some file systems (NFS) report a
  // write that failed; the open file and its lock are kept for the read-back. True only if the
  // file opened, every write succeeded and the close did too, i.e. the file holds every byte
  // given to it. Only the first call acts.
  bool finish_writing();
  // Copies the bytes written, from the file's first byte, to standard output: with sendfile if
  // `by_sendfile` (the kernel copies them, for a character device), else, or where sendfile
  // cannot, through `buffer`. Only a regular file opened for reading can show them: any other
  // file (a FIFO, a device) holds nothing that can be read back without taking it from its
  // reader or waiting for a person. False if it cannot, if the file holds fewer bytes than were
  // written (cut short by another program, or a read failed), or if standard output fails; the
  // bytes shown until then stay shown. Bytes added behind those written are never shown.
  [[nodiscard]] bool read_back_to_standard_output(std::span<unsigned char> buffer,
                                                  bool by_sendfile);
  // Gives up the open file and its lock, letting other runs have it.
  void close_and_unlock();

 private:
  int fd_ = -1;
  int read_fd_ = -1;  // the same open file, kept past finish_writing() for read-back and lock
  bool readable_ = false;
  bool failed_ = false;
  std::uint64_t written_ = 0;
};
