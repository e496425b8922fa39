// Echoes "file.c", counts its bytes, keeps its letters and digits in "file.txt", prints the
// counts and then "file.txt". Every failure is a line on standard output; the exit status is 0.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string_view>

#include "ByteRules.hpp"
#include "FileStream.hpp"
#include "ScanKernel.hpp"

namespace {

constexpr std::string_view kBannerLine = "\n\n\t********** Printing data from file.*********\t\n\n";
constexpr std::string_view kFileErrorLine = "\nfile error\n";

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

void write_text(std::string_view text) {
  write_standard_output({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

// Echoes and counts every byte of `source`, keeping its letters and digits in `kept`.
// False if a read error cut the pass short.
[[nodiscard]] bool filter_source(InputFile& source, OutputFile& kept, Tally& tally) {
  const ScanKernel scan = best_kernel();
  const auto kept_bytes =
      std::make_unique_for_overwrite<unsigned char[]>(kStreamBufferSize + kKeptSlack);
  for (auto block = source.read_block(); !block.empty(); block = source.read_block()) {
    const std::size_t kept_count = scan(block, tally, kept_bytes.get());
    kept.write_block({kept_bytes.get(), kept_count});
    write_standard_output(block);
  }
  return !source.failed();
}

// False if a read error cut the copy short.
[[nodiscard]] bool echo_file(InputFile& file) {
  for (auto block = file.read_block(); !block.empty(); block = file.read_block()) {
    write_standard_output(block);
  }
  return !file.failed();
}

}  // namespace

int main() {
  occupy_closed_standard_descriptors();
  // A reader that goes away must not end the run before "file.txt" is complete.
  std::signal(SIGPIPE, SIG_IGN);

  Tally tally;
  write_text(kBannerLine);
  InputFile source("file.c");
  OutputFile kept("file.txt", source.id());
  if (!source.is_open() || !filter_source(source, kept, tally)) {
    write_text(kFileErrorLine);
  }
  write_summary(tally);
  source.close();  // Read only: its close cannot lose data.
  write_text(kBannerLine);

  // A "file.txt" that did not open, or lost bytes, holds nothing this run may show as its result.
  if (!kept.close()) {
    write_text(kFileErrorLine);
    return 0;
  }
  InputFile result("file.txt");
  if (!result.is_open() || !echo_file(result)) {
    write_text(kFileErrorLine);
  }
  result.close();
  return 0;
}
