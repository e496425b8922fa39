// Echoes "file.c", counts its bytes, keeps its letters and digits in "file.txt", prints the
// counts and then "file.txt". Every failure is a line on standard output; the exit status is 0.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdint>
#include <string_view>

#include "ByteRules.hpp"
#include "FileStream.hpp"
#include "ScanKernel.hpp"

namespace {

constexpr std::string_view kBannerLine = "\n\n\t********** Printing data from file.*********\t\n\n";
constexpr std::string_view kFileErrorLine = "\nfile error\n";

// Static storage: nothing to allocate, so nothing that can fail or be mapped at every start,
// and a small file touches only the pages it needs. Room for the kept bytes of a block and a
// new block behind them.
std::array<unsigned char, 2 * kStreamBufferSize> buffer;

// A descriptor 0-2 left closed by the caller would otherwise go to "file.c" or "file.txt", and
// the echo would land in a file.
void occupy_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) {
      // open takes the lowest free descriptor, which is this one. If even that fails, the files
      // are kept off it when they open.
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
  const ScanKernel scan = choose_kernel(cpu_features()).scan;
  // The kept bytes gather at the front of the buffer: each block is read in behind them,
  // echoed, and compacted in place onto them. So "file.txt" gets writes of a block or more,
  // and no byte is copied twice.
  std::size_t gathered = 0;
  for (;;) {
    const auto block = source.read_into(std::span(buffer).subspan(gathered, kStreamBufferSize));
    if (block.empty()) {
      break;
    }
    write_standard_output(block);
    gathered += scan(block, tally, block.data());
    if (gathered >= kStreamBufferSize) {
      kept.write_block(std::span(buffer).first(gathered));
      gathered = 0;
    }
  }
  kept.write_block(std::span(buffer).first(gathered));
  return !source.failed();
}

// Echoes the first `count` bytes of `file`. False if it ended before them or a read failed.
[[nodiscard]] bool echo_file(InputFile& file, std::uint64_t count) {
  while (count > 0) {
    const auto block = file.read_into(std::span(buffer).first(
        static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer.size()))));
    if (block.empty()) {
      return false;
    }
    write_standard_output(block);
    count -= block.size();
  }
  return true;
}

}  // namespace

int main() {
  occupy_closed_standard_descriptors();
  // A reader that goes away, or a file size limit, must make writes fail rather than end the
  // run before "file.txt" is complete.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  Tally tally;
  write_text(kBannerLine);
  InputFile source("file.c");
  // Emptying "file.txt" must never destroy the input or the transcript, whatever links lead
  // there; a file whose identity cannot be found out may be either.
  const FileIdentity output = identity_of_descriptor(STDOUT_FILENO);
  const FileIdentity input = source.is_open() ? source.identity() : identity_of_path("file.c");
  OutputFile kept("file.txt", std::array{input, output});
  // Echoing a file onto its own end would never reach that end.
  const bool output_may_be_file = output.known == FileIdentity::Known::kUnknown || output.regular;
  const bool echo_feeds_input = output_may_be_file && may_be_same_file(input, output);
  if (!source.is_open() || echo_feeds_input || !filter_source(source, kept, tally)) {
    write_text(kFileErrorLine);
  }
  write_summary(tally);
  source.close();  // Read only: its close cannot lose data.
  write_text(kBannerLine);

  // A "file.txt" that did not open or lost bytes holds nothing this run may show as its result.
  // The read-back takes exactly the bytes written: a device or FIFO behind the name cannot
  // make it endless, and a file cut short by someone else is reported, not shown.
  bool shown = false;
  if (kept.close()) {
    InputFile result("file.txt");
    shown = result.is_open() && echo_file(result, kept.written());
    result.close();
  }
  kept.unlock();
  if (!shown) {
    write_text(kFileErrorLine);
  }
  return 0;
}
