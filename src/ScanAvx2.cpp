// AVX2 kernel: 64 bytes a step. Only called on CPUs that have AVX2, POPCNT, BMI1 and BMI2
// (see kKernels).
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "CompactTable.hpp"
#include "ScanKernel.hpp"

#define REMOVE_AVX2 __attribute__((target("avx2,popcnt,bmi,bmi2")))

namespace {

// Each byte gets a class byte: the AND of two 16-entry table entries, one picked by each half of
// the byte. Bits 0x20, 0x40 and 0x80 mark the kept bytes (digits: high half 3, low half 0-9; A-O
// and a-o: 4 and 6, 1-F; P-Z and p-z: 5 and 7, 0-A), so a kept byte's class is at least 0x20.
// Bits 0x01, 0x04 and 0x10 mark a line feed (0, A), a space (2, 0) and a tab (0, 9): apart
// enough that the classes of two vectors add up without one count reaching the next.
constexpr char kNewline = 0x01;
constexpr char kSpace = 0x04;
constexpr char kTab = 0x10;
constexpr char kCounted = kNewline | kSpace | kTab;
constexpr char kDigit = 0x20;
constexpr char kLetterAtoO = 0x40;
constexpr char kLetterPtoZ = static_cast<char>(0x80);
constexpr char kAnyKept = kDigit | kLetterAtoO | kLetterPtoZ;

// Rows of kCompactControl for the first 8-byte group of a 16-byte lane, then the same rows moved
// to the second group, 8 bytes a row in one flat array. Each row goes into the shuffle as a
// 16-byte memory operand, of which only the first 8 bytes matter: the 8 bytes of padding at the
// end keep the last row's load within the array. Aligned to 32, not 64: clang's AddressSanitizer
// gives no redzone to a global aligned to more than 32 bytes, and would miss a load past the end.
constexpr std::size_t kSecondGroup = 256;
constexpr std::size_t kRowBytes = 8;
alignas(32) constexpr auto kLaneControl = [] {
  std::array<std::uint8_t, 2 * kSecondGroup * kRowBytes + kRowBytes> table{};
  for (std::size_t mask = 0; mask < kSecondGroup; ++mask) {
    for (std::size_t slot = 0; slot < kRowBytes; ++slot) {
      table[mask * kRowBytes + slot] = kCompactControl[mask][slot];
      table[(kSecondGroup + mask) * kRowBytes + slot] =
          static_cast<std::uint8_t>(kCompactControl[mask][slot] + 8);
    }
  }
  return table;
}();

// Bytes 0x80-0xFF have their top bit set, which makes the first shuffle give 0 for them.
REMOVE_AVX2 inline __m256i classes(__m256i bytes) {
  const __m128i by_low = _mm_setr_epi8(
      kDigit | kLetterPtoZ | kSpace, kAnyKept, kAnyKept, kAnyKept, kAnyKept, kAnyKept, kAnyKept,
      kAnyKept, kAnyKept, kAnyKept | kTab, kLetterAtoO | kLetterPtoZ | kNewline, kLetterAtoO,
      kLetterAtoO, kLetterAtoO, kLetterAtoO, kLetterAtoO);
  const __m128i by_high =
      _mm_setr_epi8(kNewline | kTab, 0, kSpace, kDigit, kLetterAtoO, kLetterPtoZ, kLetterAtoO,
                    kLetterPtoZ, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i low = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(by_low), bytes);
  const __m256i high =
      _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(by_high),
                          _mm256_and_si256(_mm256_srli_epi16(bytes, 4), _mm256_set1_epi8(0x0F)));
  return _mm256_and_si256(low, high);
}

// One bit per byte, set for the kept ones: a class of 0x20 or more reaches 0x80 when 0x60 is
// added, with saturation, and a smaller one does not.
REMOVE_AVX2 inline std::uint64_t keep_mask(__m256i classes) {
  return static_cast<std::uint32_t>(
      _mm256_movemask_epi8(_mm256_adds_epu8(classes, _mm256_set1_epi8(0x60))));
}

// Writes the kept bytes of `bytes` to `out`, in order, and returns how many there were. Each
// 8-byte group is compacted with one shuffle whose control row is read straight from the table;
// the groups' places come from the mask alone, so the four stores do not wait for one another.
// Stores at most 32 bytes from `out`: in place, never past the vector just read.
REMOVE_AVX2 inline std::size_t compact(__m256i bytes, std::uint64_t mask, unsigned char* out) {
  const auto control = [](std::size_t row) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kLaneControl[row * kRowBytes]));
  };
  const auto store = [](unsigned char* at, __m128i group) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at), group);
  };
  const __m128i low_lane = _mm256_castsi256_si128(bytes);
  const __m128i high_lane = _mm256_extracti128_si256(bytes, 1);
  store(out, _mm_shuffle_epi8(low_lane, control(mask & 0xFFU)));
  store(out + _mm_popcnt_u64(mask & 0xFFU),
        _mm_shuffle_epi8(low_lane, control(kSecondGroup + _bextr_u64(mask, 8, 8))));
  store(out + _mm_popcnt_u64(_bzhi_u64(mask, 16)),
        _mm_shuffle_epi8(high_lane, control(_bextr_u64(mask, 16, 8))));
  store(out + _mm_popcnt_u64(_bzhi_u64(mask, 24)),
        _mm_shuffle_epi8(high_lane, control(kSecondGroup + _bextr_u64(mask, 24, 8))));
  return static_cast<std::size_t>(_mm_popcnt_u64(mask));
}

REMOVE_AVX2 inline std::int64_t sum_counts(__m256i sums) {
  return _mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
         _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3);
}

}  // namespace

REMOVE_AVX2 std::size_t scan_avx2(std::span<const unsigned char> block, Tally& tally,
                                  unsigned char* kept) {
  // A step adds up to 2 to each 4-bit line feed and tab counter: 7 steps fill at most 14.
  constexpr std::size_t kStep = 64;
  constexpr std::size_t kStepsPerRound = 7;
  const unsigned char* next = block.data();
  const unsigned char* const end = next + block.size() / kStep * kStep;
  unsigned char* out = kept;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i low_nibbles = _mm256_set1_epi8(0x0F);
  __m256i newline_sums = zero;
  __m256i tab_sums = zero;
  __m256i space_sums = zero;

  while (next != end) {
    const unsigned char* const round_end =
        next + std::min(static_cast<std::size_t>(end - next), kStepsPerRound * kStep);
    // Line feeds in the low half of each byte, tabs in the high half; spaces four at a time.
    __m256i newlines_and_tabs = zero;
    __m256i spaces = zero;
    do {
      const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(next));
      const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(next + 32));
      const __m256i first_classes = classes(first);
      const __m256i second_classes = classes(second);
      // Each count is 0-2 in its own 2-bit field of the sum.
      const __m256i counted =
          _mm256_add_epi8(_mm256_and_si256(first_classes, _mm256_set1_epi8(kCounted)),
                          _mm256_and_si256(second_classes, _mm256_set1_epi8(kCounted)));
      newlines_and_tabs = _mm256_add_epi8(newlines_and_tabs,
                                          _mm256_and_si256(counted, _mm256_set1_epi8(0x03 | 0x30)));
      spaces = _mm256_add_epi8(spaces, _mm256_and_si256(counted, _mm256_set1_epi8(0x0C)));
      out += compact(first, keep_mask(first_classes), out);
      out += compact(second, keep_mask(second_classes), out);
      next += kStep;
    } while (next != round_end);
    newline_sums = _mm256_add_epi64(
        newline_sums, _mm256_sad_epu8(_mm256_and_si256(newlines_and_tabs, low_nibbles), zero));
    tab_sums = _mm256_add_epi64(
        tab_sums,
        _mm256_sad_epu8(_mm256_and_si256(_mm256_srli_epi16(newlines_and_tabs, 4), low_nibbles),
                        zero));
    space_sums = _mm256_add_epi64(space_sums, _mm256_sad_epu8(spaces, zero));
  }

  const std::size_t left = block.size() - static_cast<std::size_t>(end - block.data());
  add_counts(tally, static_cast<std::int64_t>(block.size() - left), sum_counts(newline_sums),
             sum_counts(tab_sums), sum_counts(space_sums) / kSpace);
  out += scan_plain({next, left}, tally, out);
  return static_cast<std::size_t>(out - kept);
}
