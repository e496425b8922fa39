// An independent model of a run: the transcript and "file.txt" that an input should give, built
// from the input without any of the program's code.
#pragma once

#include <optional>
#include <string>

// The banner line and the failure line, each with its line feed.
extern const std::string kBannerLine;
extern const std::string kFileErrorLine;

// The summary block for the bytes `counted`, and the bytes of `input` that are kept.
[[nodiscard]] std::string model_summary(const std::string& counted);
[[nodiscard]] std::string model_kept(const std::string& input);

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
