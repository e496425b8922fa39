#include "ByteRules.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "StandardOutput.hpp"

namespace {

// Writes `value` in decimal at `at` and returns the end. By hand: printf is pages of code that
// every run, however small its file, would have to map in, and libc++ keeps to_chars in its
// shared library, which the program does not load.
char* put_decimal(char* at, std::int64_t value) {
  std::uint64_t magnitude = static_cast<std::uint64_t>(value);
  if (value < 0) {
    *at++ = '-';
    magnitude = 0 - magnitude;
  }
  std::array<char, 20> digits{};
  auto first = digits.end();
  do {
    *--first = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  return std::copy(first, digits.end(), at);
}

}  // namespace

SummaryText format_summary(const Tally& tally) {
  // The wording, spelling included, is what users and their scripts already see.
  constexpr std::array<std::string_view, 5> kText{
      "\n\t....********quntity displaying*********.....\n No. of characters in file.. ",
      " ...\n No. of newlines in file..", " ...\n No. of tab's ", "...\n No. of spaces ", "...\n"};
  const std::array<std::int64_t, 4> counts{tally.characters, tally.newlines, tally.tabs,
                                           tally.spaces};
  SummaryText text{};
  char* at = text.bytes.data();
  for (std::size_t part = 0; part < counts.size(); ++part) {
    at = std::copy(kText[part].begin(), kText[part].end(), at);
    at = put_decimal(at, counts[part]);
  }
  at = std::copy(kText.back().begin(), kText.back().end(), at);
  text.size = static_cast<std::size_t>(at - text.bytes.data());
  return text;
}

void write_summary(const Tally& tally) {
  const SummaryText text = format_summary(tally);
  write_standard_output(std::string_view(text.bytes.data(), text.size));
}
