// Echoes "file.c", counts its bytes, keeps its letters and digits in "file.txt", prints the
// counts and then "file.txt". Every failure is a line on standard output; the exit status is 0.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "ByteRules.hpp"
#include "FileStream.hpp"

namespace {

constexpr const char* kBanner = "\n\n\t********** Printing data from file.*********\t\n";
constexpr const char* kFileError = "\nfile error";

// A descriptor 0-2 left closed by the caller would otherwise go to "file.c" or "file.txt", and
// the echo would land in a file.
void occupy_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) {
      // open takes the lowest free descriptor, which is this one. If even that fails, the run
      // goes on: there is no one to tell.
      ::open("/dev/null", O_RDWR);
    }
  }
}

// Writes to standard output are deliberately not looked at: the transcript is best effort and
// the run always completes "file.txt".
void write_line(const char* text) { std::puts(text); }

// Echoes and counts every byte of `source`, keeping its letters and digits in `kept`.
// False if a read error cut the pass short.
[[nodiscard]] bool filter_source(InputFile& source, OutputFile& kept, Tally& tally) {
  for (int next = source.get_byte(); next != kEndOfInput; next = source.get_byte()) {
    const auto byte = static_cast<unsigned char>(next);
    count_byte(tally, byte);
    if (keeps_byte(byte)) {
      kept.put_byte(byte);
    }
    putchar_unlocked(byte);
  }
  return !source.failed();
}

// False if a read error cut the copy short.
[[nodiscard]] bool echo_file(InputFile& file) {
  for (int next = file.get_byte(); next != kEndOfInput; next = file.get_byte()) {
    putchar_unlocked(next);
  }
  return !file.failed();
}

}  // namespace

int main() {
  occupy_closed_standard_descriptors();
  // A reader that goes away must not end the run before "file.txt" is complete.
  std::signal(SIGPIPE, SIG_IGN);
  // One large buffer for the echo, the banners and the summary keeps them in order.
  std::setvbuf(stdout, nullptr, _IOFBF, kStreamBufferSize);

  Tally tally;
  write_line(kBanner);
  InputFile source("file.c");
  OutputFile kept("file.txt", source.id());
  if (!source.is_open() || !filter_source(source, kept, tally)) {
    write_line(kFileError);
  }
  write_summary(tally);
  source.close();  // Read only: its close cannot lose data.
  write_line(kBanner);

  // A "file.txt" that did not open, or lost bytes, holds nothing this run may show as its result.
  if (!kept.close()) {
    write_line(kFileError);
    return 0;
  }
  InputFile result("file.txt");
  if (!result.is_open() || !echo_file(result)) {
    write_line(kFileError);
  }
  result.close();
  return 0;
}
