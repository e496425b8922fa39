// Buffered files over plain descriptors: each one opens in its constructor, remembers whether any
// operation failed, and closes exactly once. A file whose open failed is never read, written or
// closed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <span>

// Large enough that a pass costs few system calls, small enough to stay in the L2 cache.
inline constexpr std::size_t kStreamBufferSize = std::size_t{128} * 1024;

// Which file a descriptor has open, whatever names lead to it.
struct FileId {
  dev_t device;
  ino_t inode;
  bool operator==(const FileId&) const = default;
};

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
  [[nodiscard]] std::optional<FileId> id() const;

  // The next block, at most kStreamBufferSize bytes, valid until the next call; empty at end of
  // input and after a read error.
  [[nodiscard]] std::span<const unsigned char> read_block();

  // True if the descriptor closed cleanly. Only the first call on an open file does anything.
  bool close();

 private:
  int fd_ = -1;
  bool failed_ = false;
  bool ended_ = false;
  std::unique_ptr<unsigned char[]> buffer_;
};

class OutputFile {
 public:
  // Creates `path` or empties it. Stays closed if it cannot be opened for writing, or if it is
  // the file `input` (through a link): emptying that would destroy the input before it is read.
  OutputFile(const char* path, std::optional<FileId> input);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  [[nodiscard]] bool is_open() const { return fd_ >= 0; }
  // A write failed; everything written after it is dropped.
  [[nodiscard]] bool failed() const { return failed_; }

  // Buffers `bytes` and writes whole buffers. Does nothing on a file that did not open.
  void write_block(std::span<const unsigned char> bytes);

  // Writes what is buffered and closes. True only if the file opened, every write succeeded and
  // the close did too, i.e. the file holds every byte given to it. Only the first call acts.
  bool close();

 private:
  void drain();

  int fd_ = -1;
  bool failed_ = false;
  std::unique_ptr<unsigned char[]> buffer_;
  unsigned char* next_ = nullptr;
  unsigned char* end_ = nullptr;
};

// Writes `bytes` to standard output unbuffered, after anything stdio holds for it. Failures are
// not reported: the transcript is best effort, and the run goes on to complete "file.txt".
void write_standard_output(std::span<const unsigned char> bytes);
