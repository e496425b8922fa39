// Echoes "file.c", counts its bytes, keeps its letters and digits in "file.txt", prints the
// counts and then "file.txt". Every failure is a line on standard output; the exit status is 0.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <csignal>
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
      // open takes the lowest free descriptor, which is this one. Only the null device may fill
      // it: in a container another file can be mounted over "/dev/null", and the transcript
      // would go into that file. Otherwise it stays closed; the files are kept off it anyway.
      const int null = ::open("/dev/null", O_RDWR | O_NOCTTY);
      struct stat status {};
      if (null >= 0 && (::fstat(null, &status) != 0 || !S_ISCHR(status.st_mode) ||
                        status.st_rdev != makedev(1, 3))) {
        (void)::close(null);  // nothing was written through it
      }
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
  // Echoing a file onto its own end, or into the pipe it reads, would never reach an end.
  const bool echo_feeds_input = may_be_same_file(input, output, true);
  if (!source.is_open() || echo_feeds_input || !filter_source(source, kept, tally)) {
    write_text(kFileErrorLine);
  }
  write_summary(tally);
  source.close();  // Read only: its close cannot lose data.
  write_text(kBannerLine);

  // A "file.txt" that did not open or lost bytes holds nothing this run may show as its result.
  // It is read back through the open file that was written, never by its name, which may lead
  // elsewhere by now.
  // sendfile saves a copy into a pipe or a device; into a regular file it gains nothing.
  const bool shown = kept.close() && kept.show_written(buffer, !output.is(S_IFREG));
  kept.release();
  if (!shown) {
    write_text(kFileErrorLine);
  }
  return 0;
}
