// AVX-512 kernel (with VBMI2 for byte compression): 64 bytes a step. Only called on CPUs that
// have those extensions (see kKernels).
#include <immintrin.h>

#include <cstdint>

#include "ScanKernel.hpp"

#define REMOVE_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt")))

namespace {

// Mask of the bytes that lie in [first, first + span].
REMOVE_AVX512 inline __mmask64 in_range(__m512i bytes, char first, char span) {
  return _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8(first)),
                                _mm512_set1_epi8(span));
}

}  // namespace

REMOVE_AVX512 std::size_t scan_avx512(std::span<const unsigned char> block, Tally& tally,
                                      unsigned char* kept) {
  const unsigned char* next = block.data();
  const unsigned char* const end = next + block.size();
  unsigned char* out = kept;
  std::int64_t newlines = 0;
  std::int64_t tabs = 0;
  std::int64_t spaces = 0;

  for (; end - next >= 64; next += 64) {
    const __m512i bytes = _mm512_loadu_si512(next);
    newlines += static_cast<std::int64_t>(
        _mm_popcnt_u64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n'))));
    tabs += static_cast<std::int64_t>(
        _mm_popcnt_u64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\t'))));
    spaces += static_cast<std::int64_t>(
        _mm_popcnt_u64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(' '))));

    // Setting bit 0x20 folds capitals onto small letters and sends no other byte into a-z.
    const __mmask64 keep =
        in_range(bytes, '0', 9) | in_range(_mm512_or_si512(bytes, _mm512_set1_epi8(0x20)), 'a', 25);
    // Compress in a register and store all 64 bytes, which end within the bytes consumed: the
    // memory-destination form of vpcompressb is microcoded and slow on some CPUs.
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, bytes));
    out += _mm_popcnt_u64(keep);
  }

  const auto done = static_cast<std::int64_t>(next - block.data());
  add_counts(tally, done, newlines, tabs, spaces);
  out += scan_plain({next, static_cast<std::size_t>(end - next)}, tally, out);
  return static_cast<std::size_t>(out - kept);
}
