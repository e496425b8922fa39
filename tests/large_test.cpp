// Inputs past 4 GiB, where 32-bit counts would wrap. The transcript is checked as it streams
// through a pipe, never held whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "RunRemove.hpp"

namespace {

// promise: counts-any-size
TEST(LargeInput, SparseFilePast4GiBIsCountedExactly) {
  constexpr std::uint64_t kSize = (std::uint64_t{4} << 30) + 10;
  static_assert(sizeof(off_t) == 8, "a 32-bit off_t would make this a 10-byte file");
  const ScratchDir dir;
  write_file(dir / "file.c", "");
  ASSERT_EQ(::truncate((dir / "file.c").c_str(), static_cast<off_t>(kSize)), 0);
  ASSERT_EQ(std::filesystem::file_size(dir / "file.c"), kSize);
  // The expected transcript, with the 4 GiB of zero bytes of the echo left out.
  const std::string head = kBannerLine;
  const std::string expected_tail =
      "\n\t....********quntity displaying*********.....\n"
      " No. of characters in file.. 4294967306 ...\n"
      " No. of newlines in file..0 ...\n"
      " No. of tab's 0...\n"
      " No. of spaces 0...\n" +
      kBannerLine;

  std::uint64_t position = 0;
  std::string seen_head;
  std::string seen_tail;
  std::uint64_t nonzero_in_echo = 0;
  const RunResult run = run_remove_streaming(dir.path, [&](std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      if (position < head.size()) {
        seen_head += bytes[at];
        ++at;
        ++position;
      } else if (position < head.size() + kSize) {
        const std::size_t take = static_cast<std::size_t>(
            std::min<std::uint64_t>(bytes.size() - at, head.size() + kSize - position));
        nonzero_in_echo += static_cast<std::uint64_t>(
            std::count_if(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                          bytes.begin() + static_cast<std::ptrdiff_t>(at + take),
                          [](char c) { return c != '\0'; }));
        at += take;
        position += take;
      } else {
        seen_tail.append(bytes.substr(at));
        position += bytes.size() - at;
        at = bytes.size();
      }
    }
  });
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(seen_head, head);
  EXPECT_EQ(nonzero_in_echo, 0u);
  EXPECT_EQ(seen_tail, expected_tail);
  EXPECT_EQ(run.file_txt, "");
}

}  // namespace
