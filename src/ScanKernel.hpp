// Block kernels: the byte rules applied to a whole block at once. Every kernel gives exactly
// what count_byte and keeps_byte give byte by byte; the vector ones are only faster.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "ByteRules.hpp"

// Adds every byte of `block` to `tally` and writes the bytes it keeps, in order, to `kept`,
// which has room for block.size() bytes, or is block.data() itself: the kept bytes are then
// compacted in place. Vector kernels store whole registers, but never past `kept` plus the bytes
// consumed so far, so neither needs room to spare. Returns how many bytes were kept.
using ScanKernel = std::size_t (*)(std::span<const unsigned char> block, Tally& tally,
                                   unsigned char* kept);

std::size_t scan_plain(std::span<const unsigned char> block, Tally& tally, unsigned char* kept);
#if defined(REMOVE_X86_KERNELS)
std::size_t scan_avx2(std::span<const unsigned char> block, Tally& tally, unsigned char* kept);
std::size_t scan_avx512(std::span<const unsigned char> block, Tally& tally, unsigned char* kept);
#endif
#if defined(REMOVE_NEON_KERNEL)
std::size_t scan_neon(std::span<const unsigned char> block, Tally& tally, unsigned char* kept);
#endif

// Adds `done` bytes to `tally`, of which so many were line feeds, tabs and spaces: every other
// byte is a character, so a kernel need count only those three.
inline void add_counts(Tally& tally, std::int64_t done, std::int64_t newlines, std::int64_t tabs,
                       std::int64_t spaces) {
  tally.newlines += newlines;
  tally.tabs += tabs;
  tally.spaces += spaces;
  tally.characters += done - newlines - tabs - spaces;
}
