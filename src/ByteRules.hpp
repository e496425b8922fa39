// What each byte of the input counts as, whether it is kept, and the summary of the counts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// 64-bit so the counts stay exact for inputs past 2 GiB.
struct Tally {
  std::int64_t characters = 0;
  std::int64_t newlines = 0;
  std::int64_t tabs = 0;
  std::int64_t spaces = 0;
};

// Raises exactly one field: line feed, tab and space have their own; every other byte is a
// character.
constexpr void count_byte(Tally& tally, unsigned char byte) {
  switch (byte) {
    case '\n':
      ++tally.newlines;
      break;
    case '\t':
      ++tally.tabs;
      break;
    case ' ':
      ++tally.spaces;
      break;
    default:
      ++tally.characters;
      break;
  }
}

// ASCII letters and digits only, whatever the locale: bytes 0x80-0xFF are never kept.
[[nodiscard]] constexpr bool keeps_byte(unsigned char byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= 'a' && byte <= 'z');
}

// The summary block exactly as printed, its leading line feed included. Fixed storage: the fixed
// text plus four 20-digit numbers always fits.
struct SummaryText {
  std::array<char, 256> bytes;
  std::size_t size;
};
[[nodiscard]] SummaryText format_summary(const Tally& tally);

// Writes the summary block to standard output.
void write_summary(const Tally& tally);
