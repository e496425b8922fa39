// AVX2 kernel: 32 bytes a step. Only called on CPUs that have AVX2 (see kKernels).
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "CompactTable.hpp"
#include "ScanKernel.hpp"

#define REMOVE_AVX2 __attribute__((target("avx2,popcnt")))

namespace {

// The byte counters take one step per vector and hold at most 255 before they wrap.
constexpr std::size_t kVectorsPerRound = 255;

// The letters and digits are told by two 16-entry tables, one indexed by each half of a byte:
// a byte is kept when the entries for its two halves share a bit. Bit 1: digits (high half 3,
// low half 0-9); bit 2: A-O and a-o (4 and 6, 1-F); bit 4: P-Z and p-z (5 and 7, 0-A). Bytes
// 0x80-0xFF have no entry for their high half, so they are never kept.
REMOVE_AVX2 inline std::uint32_t keep_mask(__m256i bytes) {
  const __m256i by_low = _mm256_setr_epi8(5, 7, 7, 7, 7, 7, 7, 7, 7, 7, 6, 2, 2, 2, 2, 2, 5, 7, 7,
                                          7, 7, 7, 7, 7, 7, 7, 6, 2, 2, 2, 2, 2);
  const __m256i by_high = _mm256_setr_epi8(0, 0, 0, 1, 2, 4, 2, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           1, 2, 4, 2, 4, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i low = _mm256_shuffle_epi8(by_low, _mm256_and_si256(bytes, nibble));
  const __m256i high =
      _mm256_shuffle_epi8(by_high, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
  const __m256i dropped = _mm256_cmpeq_epi8(_mm256_and_si256(low, high), _mm256_setzero_si256());
  return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(dropped));
}

// Writes the kept bytes of `bytes` to `out`, in order, and returns how many there were. Each
// 8-byte group is compacted from the register with one shuffle; the groups' places are worked
// out from the mask alone, so the four stores do not wait for one another. Stores at most 32
// bytes from `out`: in place, never past the vector just read.
REMOVE_AVX2 inline std::size_t compact(__m256i bytes, std::uint32_t mask, unsigned char* out) {
  const __m128i low_lane = _mm256_castsi256_si128(bytes);
  const __m128i high_lane = _mm256_extracti128_si256(bytes, 1);
  // The second group of a 16-byte lane starts at byte 8 of the lane.
  const __m128i second = _mm_set1_epi8(8);
  const auto control = [](std::uint32_t group_mask) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kCompactControl[group_mask].data()));
  };
  const auto store = [](unsigned char* at, __m128i group) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at), group);
  };
  store(out, _mm_shuffle_epi8(low_lane, control(mask & 0xFFU)));
  store(out + _mm_popcnt_u32(mask & 0xFFU),
        _mm_shuffle_epi8(low_lane, _mm_add_epi8(second, control((mask >> 8) & 0xFFU))));
  store(out + _mm_popcnt_u32(mask & 0xFFFFU),
        _mm_shuffle_epi8(high_lane, control((mask >> 16) & 0xFFU)));
  store(out + _mm_popcnt_u32(mask & 0xFFFFFFU),
        _mm_shuffle_epi8(high_lane, _mm_add_epi8(second, control(mask >> 24))));
  return static_cast<std::size_t>(_mm_popcnt_u32(mask));
}

REMOVE_AVX2 inline std::int64_t sum_counts(__m256i sums) {
  return _mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
         _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3);
}

}  // namespace

REMOVE_AVX2 std::size_t scan_avx2(std::span<const unsigned char> block, Tally& tally,
                                  unsigned char* kept) {
  const unsigned char* next = block.data();
  std::size_t left = block.size();
  unsigned char* out = kept;
  const __m256i zero = _mm256_setzero_si256();
  __m256i newline_sums = zero;
  __m256i tab_sums = zero;
  __m256i space_sums = zero;

  while (left >= 32) {
    const std::size_t vectors = std::min(left / 32, kVectorsPerRound);
    __m256i newlines = zero;
    __m256i tabs = zero;
    __m256i spaces = zero;
    for (std::size_t step = 0; step < vectors; ++step, next += 32) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(next));
      // A match is -1 in its lane, so subtracting it counts it.
      newlines = _mm256_sub_epi8(newlines, _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n')));
      tabs = _mm256_sub_epi8(tabs, _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\t')));
      spaces = _mm256_sub_epi8(spaces, _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(' ')));

      out += compact(bytes, keep_mask(bytes), out);
    }
    newline_sums = _mm256_add_epi64(newline_sums, _mm256_sad_epu8(newlines, zero));
    tab_sums = _mm256_add_epi64(tab_sums, _mm256_sad_epu8(tabs, zero));
    space_sums = _mm256_add_epi64(space_sums, _mm256_sad_epu8(spaces, zero));
    left -= vectors * 32;
  }

  const auto done = static_cast<std::int64_t>(block.size() - left);
  add_counts(tally, done, sum_counts(newline_sums), sum_counts(tab_sums), sum_counts(space_sums));
  out += scan_plain({next, left}, tally, out);
  return static_cast<std::size_t>(out - kept);
}
