#include "ByteRules.hpp"

#include <array>
#include <cinttypes>
#include <cstdio>

std::string format_summary(const Tally& tally) {
  // The wording, spelling included, is what users and their scripts already see.
  std::array<char, 256> text{};
  const int length = std::snprintf(text.data(), text.size(),
                                   "\n\t....********quntity displaying*********.....\n"
                                   " No. of characters in file.. %" PRId64
                                   " ...\n"
                                   " No. of newlines in file..%" PRId64
                                   " ...\n"
                                   " No. of tab's %" PRId64
                                   "...\n"
                                   " No. of spaces %" PRId64 "...\n",
                                   tally.characters, tally.newlines, tally.tabs, tally.spaces);
  // The buffer holds the fixed text plus four 20-digit numbers, so it is never cut.
  return {text.data(), static_cast<std::size_t>(length)};
}

void write_summary(const Tally& tally) {
  const std::string text = format_summary(tally);
  // Standard output is the transcript; a failed write there is deliberately not reported.
  std::fwrite(text.data(), 1, text.size(), stdout);
}
