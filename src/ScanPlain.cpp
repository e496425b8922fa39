#include <algorithm>
#include <cstdint>

#include "ScanKernel.hpp"

std::size_t scan_plain(std::span<const unsigned char> block, Tally& tally, unsigned char* kept) {
  // Separate loops and branch-free sums let the compiler vectorize the counting. The sums are
  // kept in 16 bits per chunk, which vectorizes with wide lanes, and the chunk is small enough
  // that they cannot wrap.
  constexpr std::size_t kChunk = 65535;
  std::int64_t newlines = 0;
  std::int64_t tabs = 0;
  std::int64_t spaces = 0;
  for (std::size_t start = 0; start < block.size(); start += kChunk) {
    const auto chunk = block.subspan(start, std::min(kChunk, block.size() - start));
    std::uint16_t chunk_newlines = 0;
    std::uint16_t chunk_tabs = 0;
    std::uint16_t chunk_spaces = 0;
    for (const unsigned char byte : chunk) {
      chunk_newlines = static_cast<std::uint16_t>(chunk_newlines + (byte == '\n'));
      chunk_tabs = static_cast<std::uint16_t>(chunk_tabs + (byte == '\t'));
      chunk_spaces = static_cast<std::uint16_t>(chunk_spaces + (byte == ' '));
    }
    newlines += chunk_newlines;
    tabs += chunk_tabs;
    spaces += chunk_spaces;
  }
  add_counts(tally, static_cast<std::int64_t>(block.size()), newlines, tabs, spaces);

  // Every byte is stored, but the position only moves past the kept ones: no branch to mispredict.
  std::size_t count = 0;
  for (const unsigned char byte : block) {
    kept[count] = byte;
    count += keeps_byte(byte) ? 1U : 0U;
  }
  return count;
}
