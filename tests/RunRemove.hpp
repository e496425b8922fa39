// Runs the built program the way a user would and builds, independently of the program, the
// transcript it should print.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Model.hpp"

// The environment setting that preloads tests/fault_inject.c into the program, also through
// the emulator when the program is built for another CPU.
inline const std::string kFaultPreload =
    std::string(REMOVE_PRELOAD_VARIABLE) + "=" + FAULT_LIB_PATH;
// True when the program runs under an emulator (qemu-user), not on this CPU.
inline constexpr bool kEmulated = REMOVE_GUEST_RUNNER[0] != '\0';
// `argv` for a program built like `remove`: run through the emulator when there is one.
[[nodiscard]] std::vector<std::string> guest_command(std::vector<std::string> argv);

// A fresh directory, removed with everything in it at the end of the test.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  [[nodiscard]] std::filesystem::path operator/(const std::string& name) const {
    return path / name;
  }
  std::filesystem::path path;
};

struct RunResult {
  std::string out;
  std::string err;
  int exit_status = -1;                 // -1 if the process did not exit normally
  std::optional<std::string> file_txt;  // nullopt if "file.txt" is missing or unreadable
  bool waited_on_full_pipe = false;     // see run_remove_streaming
};

// Runs the program `argv[0]` (a full path) in `dir`, with `env` (NAME=value each) added to the
// environment, replacing what it names.
RunResult run_command(const std::filesystem::path& dir, const std::vector<std::string>& argv,
                      const std::vector<std::string>& env = {});

// What carries standard output from `remove` to the test: a pipe; the same, non-blocking, as a
// caller may leave it, and not read until the program is seen waiting for it in poll
// (`waited_on_full_pipe`); or a UNIX stream socket.
enum class Channel { kPipe, kFullNonBlockingPipe, kSocket };

// Runs `remove` in `dir`, with `env` added to the environment, handing its standard output to
// `consume` as it arrives through `channel`; `out` stays empty. For transcripts too large to hold.
RunResult run_remove_streaming(const std::filesystem::path& dir,
                               const std::function<void(std::string_view)>& consume,
                               Channel channel = Channel::kPipe,
                               const std::vector<std::string>& env = {});
// The same, with `out` holding all that came through.
RunResult run_remove_into_pipe(const std::filesystem::path& dir,
                               const std::vector<std::string>& env = {},
                               Channel channel = Channel::kPipe);

// Whether this process can run a command as the user nobody (root, with setpriv at hand), and
// such a run of `remove` in `dir`.
[[nodiscard]] bool can_run_as_nobody();
RunResult run_remove_as_nobody(const std::filesystem::path& dir);

// Runs `remove` with `args` in `dir`, with `env` added to the environment.
RunResult run_remove(const std::filesystem::path& dir, const std::vector<std::string>& args = {},
                     const std::vector<std::string>& env = {});

// Runs `script` with /bin/sh in `dir`; $REMOVE names the program.
RunResult run_shell(const std::filesystem::path& dir, const std::string& script);

// The full path of an installed tool, or nullopt if it is not installed.
[[nodiscard]] std::optional<std::string> find_tool(const char* name);

void write_file(const std::filesystem::path& path, const std::string& bytes);
// nullopt unless `path` leads to a readable regular file.
[[nodiscard]] std::optional<std::string> read_file(const std::filesystem::path& path);
