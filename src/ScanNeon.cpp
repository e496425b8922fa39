// NEON kernel: 16 bytes a step. Advanced SIMD is part of every arm64 CPU.
#include <arm_neon.h>

#include <algorithm>
#include <bit>
#include <cstdint>

#include "CompactTable.hpp"
#include "ScanKernel.hpp"

namespace {

// The byte counters take one step per vector and hold at most 255 before they wrap.
constexpr std::size_t kVectorsPerRound = 255;

// 0xFF in each lane whose byte lies in [first, first + span], 0 elsewhere.
inline uint8x16_t in_range(uint8x16_t bytes, std::uint8_t first, std::uint8_t span) {
  return vcleq_u8(vsubq_u8(bytes, vdupq_n_u8(first)), vdupq_n_u8(span));
}

// Stores the bytes of `group` marked in `mask` (one bit a byte, lowest first) at `out`, in
// order; all 8 bytes are stored, and the caller moves on by the number marked.
inline unsigned char* compact_group(uint8x8_t group, unsigned mask, unsigned char* out) {
  vst1_u8(out, vtbl1_u8(group, vld1_u8(kCompactControl[mask].data())));
  return out + std::popcount(mask);
}

}  // namespace

std::size_t scan_neon(std::span<const unsigned char> block, Tally& tally, unsigned char* kept) {
  const unsigned char* next = block.data();
  std::size_t left = block.size();
  unsigned char* out = kept;
  // Lane i of each half has bit i, so that a sum over a half gives that half's mask.
  constexpr std::uint8_t kLaneBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t lane_bits = vld1q_u8(kLaneBits);
  std::int64_t newline_count = 0;
  std::int64_t tab_count = 0;
  std::int64_t space_count = 0;

  while (left >= 16) {
    const std::size_t vectors = std::min(left / 16, kVectorsPerRound);
    uint8x16_t newlines = vdupq_n_u8(0);
    uint8x16_t tabs = vdupq_n_u8(0);
    uint8x16_t spaces = vdupq_n_u8(0);
    for (std::size_t step = 0; step < vectors; ++step, next += 16) {
      const uint8x16_t bytes = vld1q_u8(next);
      // A match is 0xFF in its lane, so subtracting it counts it.
      newlines = vsubq_u8(newlines, vceqq_u8(bytes, vdupq_n_u8('\n')));
      tabs = vsubq_u8(tabs, vceqq_u8(bytes, vdupq_n_u8('\t')));
      spaces = vsubq_u8(spaces, vceqq_u8(bytes, vdupq_n_u8(' ')));

      // Setting bit 0x20 folds capitals onto small letters and sends no other byte into a-z.
      const uint8x16_t keep =
          vorrq_u8(in_range(bytes, '0', 9), in_range(vorrq_u8(bytes, vdupq_n_u8(0x20)), 'a', 25));
      const uint8x16_t bits = vandq_u8(keep, lane_bits);
      out = compact_group(vget_low_u8(bytes), vaddv_u8(vget_low_u8(bits)), out);
      out = compact_group(vget_high_u8(bytes), vaddv_u8(vget_high_u8(bits)), out);
    }
    newline_count += vaddlvq_u8(newlines);
    tab_count += vaddlvq_u8(tabs);
    space_count += vaddlvq_u8(spaces);
    left -= vectors * 16;
  }

  const auto done = static_cast<std::int64_t>(block.size() - left);
  add_counts(tally, done, newline_count, tab_count, space_count);
  out += scan_plain({next, left}, tally, out);
  return static_cast<std::size_t>(out - kept);
}
