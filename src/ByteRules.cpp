#include "ByteRules.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>

#include "FileStream.hpp"

SummaryText format_summary(const Tally& tally) {
  // The wording, spelling included, is what users and their scripts already see. Numbers by
  // to_chars, not printf: the C library's printf is pages of code that every run, however small
  // its file, would otherwise have to map in.
  constexpr std::array<std::string_view, 5> kText{
      "\n\t....********quntity displaying*********.....\n No. of characters in file.. ",
      " ...\n No. of newlines in file..", " ...\n No. of tab's ", "...\n No. of spaces ", "...\n"};
  const std::array<std::int64_t, 4> counts{tally.characters, tally.newlines, tally.tabs,
                                           tally.spaces};
  SummaryText text{};
  char* at = text.bytes.data();
  char* const end = at + text.bytes.size();
  for (std::size_t part = 0; part < counts.size(); ++part) {
    at = std::copy(kText[part].begin(), kText[part].end(), at);
    at = std::to_chars(at, end, counts[part]).ptr;
  }
  at = std::copy(kText.back().begin(), kText.back().end(), at);
  text.size = static_cast<std::size_t>(at - text.bytes.data());
  return text;
}

void write_summary(const Tally& tally) {
  const SummaryText text = format_summary(tally);
  write_standard_output({reinterpret_cast<const unsigned char*>(text.bytes.data()), text.size});
}
