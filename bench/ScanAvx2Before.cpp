// The AVX2 kernel as it was before it compacted 16 bytes at a time, kept so that the benchmark
// measures the new one against it side by side, on the same machine in the same run.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "CompactTable.hpp"
#include "ScanKernel.hpp"

std::size_t scan_avx2_before(std::span<const unsigned char> block, Tally& tally,
                             unsigned char* kept);

#define REMOVE_AVX2 __attribute__((target("avx2,popcnt")))

namespace {

// The byte counters take one step per vector and hold at most 255 before they wrap.
constexpr std::size_t kVectorsPerRound = 255;

REMOVE_AVX2 inline std::int64_t sum_counts(__m256i sums) {
  return _mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
         _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3);
}

// 0xFF in each lane whose byte lies in [first, first + span], 0 elsewhere.
REMOVE_AVX2 inline __m256i in_range(__m256i bytes, char first, char span) {
  const __m256i offset = _mm256_sub_epi8(bytes, _mm256_set1_epi8(first));
  return _mm256_cmpeq_epi8(_mm256_min_epu8(offset, _mm256_set1_epi8(span)), offset);
}

}  // namespace

REMOVE_AVX2 std::size_t scan_avx2_before(std::span<const unsigned char> block, Tally& tally,
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

      // Setting bit 0x20 folds capitals onto small letters and sends no other byte into a-z.
      const __m256i letters = in_range(_mm256_or_si256(bytes, _mm256_set1_epi8(0x20)), 'a', 25);
      const __m256i keep = _mm256_or_si256(in_range(bytes, '0', 9), letters);
      auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(keep));
      for (int group = 0; group < 4; ++group, mask >>= 8) {
        const unsigned group_mask = mask & 0xFFU;
        const __m128i group_bytes =
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(next + 8 * group));
        const __m128i control =
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kCompactControl[group_mask].data()));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(group_bytes, control));
        out += _mm_popcnt_u32(group_mask);
      }
    }
    newline_sums = _mm256_add_epi64(newline_sums, _mm256_sad_epu8(newlines, zero));
    tab_sums = _mm256_add_epi64(tab_sums, _mm256_sad_epu8(tabs, zero));
    space_sums = _mm256_add_epi64(space_sums, _mm256_sad_epu8(spaces, zero));
    left -= vectors * 32;
  }

  const auto done = static_cast<std::int64_t>(block.size() - left);
  const std::int64_t newline_count = sum_counts(newline_sums);
  const std::int64_t tab_count = sum_counts(tab_sums);
  const std::int64_t space_count = sum_counts(space_sums);
  add_counts(tally, done, newline_count, tab_count, space_count);
  out += scan_plain({next, left}, tally, out);
  return static_cast<std::size_t>(out - kept);
}
