// Echoes "file.c", counts its bytes, keeps its letters and digits in "file.txt", prints the
// counts and then "file.txt". Every failure is a line on standard output; the exit status is 0.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <string_view>

#include "ByteRules.hpp"
#include "FileIdentity.hpp"
#include "FileStream.hpp"
#include "KernelChoice.hpp"
#include "StandardOutput.hpp"

namespace {

constexpr std::string_view kBannerLine = "\n\n\t********** Printing data from file.*********\t\n\n";
constexpr std::string_view kFileErrorLine = "\nfile error\n";

// Static storage: nothing to allocate, so nothing that can fail or be mapped at every start,
// and a small file touches only the pages it needs. Room for the kept bytes of a block and a
// new block behind them.
std::array<unsigned char, 2 * kStreamBufferSize> buffer;

// Echoes and counts every byte of `source`, keeping its letters and digits in `result`.
// False if a read error cut the pass short, or if nobody takes the echo of a `source` that need
// never end (a device, a FIFO): a pipeline stage whose reader has gone stops, as `cat` does. A
// file that `source_ends` is still read to its end, so "file.txt" is complete all the same: for
// as long as another program grows it.
[[nodiscard]] bool filter_source(InputFile& source, bool source_ends, OutputFile& result,
                                 Tally& tally) {
  const ScanKernel scan = choose_kernel(cpu_features()).scan;
  // The kept bytes gather at the front of the buffer: each block is read in behind them,
  // echoed, and compacted in place onto them. So "file.txt" gets writes of a block or more
  // but for the last, and no byte is copied twice.
  std::size_t gathered = 0;
  for (;;) {
    const auto block = source.read_into(std::span(buffer).subspan(gathered, kStreamBufferSize));
    if (block.empty()) {
      break;
    }
    write_standard_output(block);
    gathered += scan(block, tally, block.data());
    if (gathered >= kStreamBufferSize) {
      result.write_block(std::span(buffer).first(gathered));
      gathered = 0;
    }
    if (!source_ends && standard_output_failed()) {
      break;
    }
  }
  result.write_block(std::span(buffer).first(gathered));
  return !source.failed() && (source_ends || !standard_output_failed());
}

}  // namespace

int main() {
  occupy_closed_standard_descriptors();
  // A reader that goes away, or a file size limit, must make writes fail rather than end the
  // run before "file.txt" is complete.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  // A transcript that goes into "file.txt" waits for another run's result there to be read back.
  const FileIdentity output = identity_of_descriptor(STDOUT_FILENO);
  lock_standard_output_if_it_is("file.txt", output);

  Tally tally;
  write_standard_output(kBannerLine);
  InputFile source("file.c");
  // Emptying "file.txt" must never destroy the input or the transcript, whatever links lead
  // there; a file whose identity cannot be found out may be either. "file.c" is looked at once
  // more just before the emptying: it may have appeared or been replaced meanwhile.
  const FileIdentity input = source.is_open() ? source.identity() : identity_of_path("file.c");
  OutputFile result("file.txt", std::array{input, output}, "file.c");
  // Echoing a file onto its own end, or into the pipe it reads, would never reach an end.
  const bool echo_feeds_input = may_be_same_file(input, output, true);
  if (!source.is_open() || echo_feeds_input ||
      !filter_source(source, input.is(S_IFREG), result, tally)) {
    write_standard_output(kFileErrorLine);
  }
  write_summary(tally);
  source.close();
  write_standard_output(kBannerLine);

  // A "file.txt" that did not open or lost bytes holds nothing this run may show as its result.
  // It is read back through the open file that was written, never by its name, which may lead
  // elsewhere by now. sendfile saves a copy into a character device, which takes the bytes at once.
  // Into a pipe or a socket it hands over the file's pages, not their bytes, to be read later: a
  // writer that changes the file in place once this run has let go of it (another run with
  // `1<> file.txt`) would change what the reader gets. Into a regular file it gains nothing.
  const bool complete = result.finish_writing();
  const bool shown = complete && result.read_back_to_standard_output(buffer, output.is(S_IFCHR));
  result.close_and_unlock();
  if (!shown) {
    write_standard_output(kFileErrorLine);
  }
  unlock_standard_output();
  return 0;
}
