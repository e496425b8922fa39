// libFuzzer target: for any "file.c", every kernel this CPU runs agrees with the per-byte rules,
// and a whole run prints exactly the modelled transcript and leaves the modelled "file.txt".
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "KernelChoice.hpp"
#include "Model.hpp"

int remove_main();  // the program's main, renamed for this build

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
  std::abort();
}

void check_kernels(const std::string& input) {
  Tally want;
  std::string want_kept;
  for (const char c : input) {
    const auto byte = static_cast<unsigned char>(c);
    count_byte(want, byte);
    if (keeps_byte(byte)) {
      want_kept += c;
    }
  }
  std::vector<unsigned char> kept(input.size());
  for (const NamedKernel& kernel : kKernels) {
    if (!can_run(kernel, cpu_features())) {
      continue;
    }
    Tally got;
    const std::size_t count = kernel.scan(
        {reinterpret_cast<const unsigned char*>(input.data()), input.size()}, got, kept.data());
    const std::string got_kept(reinterpret_cast<const char*>(kept.data()), count);
    if (got.characters != want.characters || got.newlines != want.newlines ||
        got.tabs != want.tabs || got.spaces != want.spaces) {
      fail("kernel counts differ from the rules", kernel.name);
    }
    if (got_kept != want_kept) {
      fail("kernel kept bytes differ from the rules", first_difference(got_kept, want_kept));
    }
  }
}

std::string read_whole(int fd) {
  std::string bytes;
  char buffer[65536];
  ::lseek(fd, 0, SEEK_SET);
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
}

void check_run(const std::string& input) {
  // The run works in the current directory and writes to descriptor 1. Both are swapped around
  // each run, for a scratch directory and a memory file; the fuzzer itself reads its corpus
  // through relative paths, so the directory is given back after the run.
  static const int scratch = [] {
    static char directory[] = "/tmp/remove-fuzz-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
      return -1;
    }
    // The run leaves only these two files behind; the directory goes with them at exit.
    std::atexit([] {
      for (const char* name : {"/file.c", "/file.txt"}) {
        ::unlink((std::string(directory) + name).c_str());
      }
      ::rmdir(directory);
    });
    return ::open(directory, O_RDONLY | O_DIRECTORY);
  }();
  static const int transcript = ::memfd_create("transcript", MFD_CLOEXEC);
  static const int saved_stdout = ::dup(STDOUT_FILENO);
  const int home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (scratch < 0 || transcript < 0 || saved_stdout < 0 || home < 0 || ::fchdir(scratch) != 0) {
    fail("cannot set up the run", "");
  }

  const int source = ::open("file.c", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (source < 0 ||
      ::write(source, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
      ::close(source) != 0) {
    fail("cannot write file.c", "");
  }
  if (::ftruncate(transcript, 0) != 0 || ::lseek(transcript, 0, SEEK_SET) != 0) {
    fail("cannot empty the transcript", "");
  }
  std::fflush(stdout);
  ::dup2(transcript, STDOUT_FILENO);
  remove_main();
  std::fflush(stdout);
  ::dup2(saved_stdout, STDOUT_FILENO);

  const Expected expected = model_run(input);
  const std::string out = read_whole(transcript);
  if (out != expected.transcript) {
    fail("transcript differs from the model", first_difference(out, expected.transcript));
  }
  const int result = ::open("file.txt", O_RDONLY | O_CLOEXEC);
  const std::string file_txt = result < 0 ? "<missing>" : read_whole(result);
  ::close(result);
  if (::fchdir(home) != 0) {
    fail("cannot return to the starting directory", "");
  }
  ::close(home);
  if (file_txt != expected.file_txt) {
    fail("file.txt differs from the model", first_difference(file_txt, expected.file_txt));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  check_kernels(input);
  check_run(input);
  return 0;
}
