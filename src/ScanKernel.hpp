// Block kernels: the byte rules applied to a whole block at once. Every kernel gives exactly
// what count_byte and keeps_byte give byte by byte; the vector ones are only faster.
#pragma once

#include <cstddef>
#include <span>

#include "ByteRules.hpp"

// Vector kernels store whole registers, so the kept-byte buffer needs this much room past the
// bytes actually kept.
inline constexpr std::size_t kKeptSlack = 64;

// Adds every byte of `block` to `tally` and writes the bytes it keeps, in order, to `kept`,
// which has room for block.size() + kKeptSlack bytes. Returns how many bytes were kept.
using ScanKernel = std::size_t (*)(std::span<const unsigned char> block, Tally& tally,
                                   unsigned char* kept);

std::size_t scan_plain(std::span<const unsigned char> block, Tally& tally, unsigned char* kept);
#if defined(REMOVE_X86_KERNELS)
std::size_t scan_avx2(std::span<const unsigned char> block, Tally& tally, unsigned char* kept);
std::size_t scan_avx512(std::span<const unsigned char> block, Tally& tally, unsigned char* kept);
#endif

struct NamedKernel {
  const char* name;
  ScanKernel scan;
  bool supported;  // by this CPU
};

// Every kernel built into the program, the plain one first, with whether this CPU can run it.
[[nodiscard]] std::span<const NamedKernel> all_kernels();

// The fastest kernel this CPU can run.
[[nodiscard]] ScanKernel best_kernel();
