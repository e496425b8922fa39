#include "ByteRules.hpp"

#include <cinttypes>
#include <cstdio>

#include "FileStream.hpp"

SummaryText format_summary(const Tally& tally) {
  // The wording, spelling included, is what users and their scripts already see.
  SummaryText text{};
  const int length = std::snprintf(text.bytes.data(), text.bytes.size(),
                                   "\n\t....********quntity displaying*********.....\n"
                                   " No. of characters in file.. %" PRId64
                                   " ...\n"
                                   " No. of newlines in file..%" PRId64
                                   " ...\n"
                                   " No. of tab's %" PRId64
                                   "...\n"
                                   " No. of spaces %" PRId64 "...\n",
                                   tally.characters, tally.newlines, tally.tabs, tally.spaces);
  text.size = length < 0 ? 0 : static_cast<std::size_t>(length);
  return text;
}

void write_summary(const Tally& tally) {
  const SummaryText text = format_summary(tally);
  write_standard_output({reinterpret_cast<const unsigned char*>(text.bytes.data()), text.size});
}
