// Runs the built program the way a user would and builds, independently of the program, the
// transcript it should print.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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
};

// Runs `remove` with `args` in `dir`, with `env` added to the environment.
RunResult run_remove(const std::filesystem::path& dir, const std::vector<std::string>& args = {},
                     const std::vector<std::string>& env = {});

// Runs `script` with /bin/sh in `dir`; $REMOVE names the program.
RunResult run_shell(const std::filesystem::path& dir, const std::string& script);

void write_file(const std::filesystem::path& path, const std::string& bytes);
// nullopt unless `path` leads to a readable regular file.
[[nodiscard]] std::optional<std::string> read_file(const std::filesystem::path& path);

// What a run prints and leaves in "file.txt"; `input` nullopt when "file.c" cannot be read.
struct Expected {
  std::string transcript;
  std::string file_txt;
};
enum class ReadBack { kShown, kFileError };
[[nodiscard]] Expected model_run(const std::optional<std::string>& input,
                                 ReadBack read_back = ReadBack::kShown);

// The transcript of a run whose first pass read `echoed` and then hit a read error.
[[nodiscard]] std::string model_cut_short(const std::string& echoed,
                                          ReadBack read_back = ReadBack::kShown);

// Where two byte strings first differ, with the bytes around it in hex, for failure messages.
[[nodiscard]] std::string first_difference(const std::string& actual, const std::string& expected);

// Seeded bytes drawn from `alphabet` (all 256 values if empty).
[[nodiscard]] std::string random_bytes(std::size_t size, unsigned seed,
                                       const std::string& alphabet = {});
