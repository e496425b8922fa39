#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>

#include "ByteRules.hpp"

namespace {

// The reference is the C library's own class in the "C" locale, which this test never changes.
// promise: kept-bytes
TEST(KeepsByte, MatchesTheCLocaleOverAllByteValues) {
  for (int value = 0; value <= 255; ++value) {
    const auto byte = static_cast<unsigned char>(value);
    EXPECT_EQ(keeps_byte(byte), std::isalnum(value) != 0) << "byte 0x" << std::hex << value;
  }
}

// promise: kept-bytes
TEST(KeepsByte, BoundariesOfEachRange) {
  for (const int kept : {0x30, 0x39, 0x41, 0x5A, 0x61, 0x7A}) {
    EXPECT_TRUE(keeps_byte(static_cast<unsigned char>(kept))) << std::hex << kept;
  }
  for (const int dropped :
       {0x2F, 0x3A, 0x40, 0x5B, 0x60, 0x7B, 0x5F, 0xAA, 0xB5, 0xBA, 0xC0, 0xE9, 0xFF}) {
    EXPECT_FALSE(keeps_byte(static_cast<unsigned char>(dropped))) << std::hex << dropped;
  }
}

// promise: byte-counts
TEST(CountByte, EachByteRaisesExactlyItsOwnField) {
  for (int value = 0; value <= 255; ++value) {
    Tally tally;
    count_byte(tally, static_cast<unsigned char>(value));
    const bool is_newline = value == 0x0A;
    const bool is_tab = value == 0x09;
    const bool is_space = value == 0x20;
    const bool is_other = !is_newline && !is_tab && !is_space;
    EXPECT_EQ(tally.newlines, is_newline ? 1 : 0) << "byte " << value;
    EXPECT_EQ(tally.tabs, is_tab ? 1 : 0) << "byte " << value;
    EXPECT_EQ(tally.spaces, is_space ? 1 : 0) << "byte " << value;
    EXPECT_EQ(tally.characters, is_other ? 1 : 0) << "byte " << value;
  }
}

struct RulesCase {
  const char* name;
  std::string input;
  Tally tally;
  std::string kept;
};

// promise: byte-counts, kept-bytes
TEST(ByteRules, CountAndKeepSequences) {
  const RulesCase cases[] = {
      {"worked example", std::string("Hi 2\tu!\n"), {5, 1, 1, 1}, "Hi2u"},
      {"carriage return", std::string("x\r\ny z\n"), {4, 2, 0, 1}, "xyz"},
      {"control and high bytes", std::string("\0\v\f\x7f\x80\xff", 6), {6, 0, 0, 0}, ""},
  };
  for (const RulesCase& c : cases) {
    Tally tally;
    std::string kept;
    for (const char ch : c.input) {
      const auto byte = static_cast<unsigned char>(ch);
      count_byte(tally, byte);
      if (keeps_byte(byte)) {
        kept += ch;
      }
    }
    EXPECT_EQ(tally.characters, c.tally.characters) << c.name;
    EXPECT_EQ(tally.newlines, c.tally.newlines) << c.name;
    EXPECT_EQ(tally.tabs, c.tally.tabs) << c.name;
    EXPECT_EQ(tally.spaces, c.tally.spaces) << c.name;
    EXPECT_EQ(kept, c.kept) << c.name;
  }
}

// promise: summary-block, counts-any-size
TEST(FormatSummary, IsByteExact) {
  struct Case {
    const char* name;
    Tally tally;
    const char* text;
  };
  const Case cases[] = {
      {"zeros",
       {},
       "\n\t....********quntity displaying*********.....\n"
       " No. of characters in file.. 0 ...\n"
       " No. of newlines in file..0 ...\n"
       " No. of tab's 0...\n"
       " No. of spaces 0...\n"},
      {"worked example",
       {5, 1, 1, 1},
       "\n\t....********quntity displaying*********.....\n"
       " No. of characters in file.. 5 ...\n"
       " No. of newlines in file..1 ...\n"
       " No. of tab's 1...\n"
       " No. of spaces 1...\n"},
      {"past 32 bits",
       {4294967306LL, 2147483648LL, 9223372036854775807LL, 12345},
       "\n\t....********quntity displaying*********.....\n"
       " No. of characters in file.. 4294967306 ...\n"
       " No. of newlines in file..2147483648 ...\n"
       " No. of tab's 9223372036854775807...\n"
       " No. of spaces 12345...\n"},
      {"largest counts",
       {INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX},
       "\n\t....********quntity displaying*********.....\n"
       " No. of characters in file.. 9223372036854775807 ...\n"
       " No. of newlines in file..9223372036854775807 ...\n"
       " No. of tab's 9223372036854775807...\n"
       " No. of spaces 9223372036854775807...\n"},
      {"negative, as only a fault elsewhere could make them; round tens",
       {-1, INT64_MIN, 10, 100},
       "\n\t....********quntity displaying*********.....\n"
       " No. of characters in file.. -1 ...\n"
       " No. of newlines in file..-9223372036854775808 ...\n"
       " No. of tab's 10...\n"
       " No. of spaces 100...\n"},
  };
  for (const Case& c : cases) {
    const SummaryText text = format_summary(c.tally);
    EXPECT_EQ(std::string_view(text.bytes.data(), text.size), c.text) << c.name;
  }
}

// promise: counts-any-size
TEST(CountByte, CountsPastThe32BitLimit) {
  Tally tally;
  tally.characters = 2147483647;  // the largest a 32-bit count could hold
  count_byte(tally, 'a');
  count_byte(tally, 'b');
  EXPECT_EQ(tally.characters, 2147483649LL);
}

}  // namespace
