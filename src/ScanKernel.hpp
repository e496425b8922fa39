// Block kernels: the byte rules applied to a whole block at once. Every kernel gives exactly
// what count_byte and keeps_byte give byte by byte; the vector ones are only faster.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "ByteRules.hpp"

// Vector kernels store whole registers, so the kept-byte buffer needs this much room past the
// bytes actually kept.
inline constexpr std::size_t kKeptSlack = 64;

// Adds every byte of `block` to `tally` and writes the bytes it keeps, in order, to `kept`,
// which has room for block.size() + kKeptSlack bytes, or is block.data() itself: the kept bytes
// are then compacted in place, since no kernel writes past the end of what it has read.
// Returns how many bytes were kept.
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

// The CPU features a kernel may need, as bits of a set.
using CpuFeatures = unsigned;
inline constexpr CpuFeatures kPopcnt = 1U << 0;
inline constexpr CpuFeatures kAvx2 = 1U << 1;
inline constexpr CpuFeatures kAvx512F = 1U << 2;
inline constexpr CpuFeatures kAvx512BW = 1U << 3;
inline constexpr CpuFeatures kAvx512Vbmi2 = 1U << 4;
inline constexpr CpuFeatures kBmi1 = 1U << 5;
inline constexpr CpuFeatures kBmi2 = 1U << 6;
inline constexpr CpuFeatures kAllCpuFeatures = (1U << 7) - 1;

struct NamedKernel {
  const char* name;
  ScanKernel scan;
  CpuFeatures needs;
};

// Every kernel built into the program, slowest first. Constant, so nothing runs at start-up.
// Advanced SIMD is part of every arm64 CPU, so the NEON kernel needs no feature.
inline constexpr std::array kKernels {
  NamedKernel{"plain", scan_plain, 0},
#if defined(REMOVE_X86_KERNELS)
      NamedKernel{"avx2", scan_avx2, kAvx2 | kPopcnt | kBmi1 | kBmi2},
      NamedKernel{"avx512", scan_avx512, kAvx512F | kAvx512BW | kAvx512Vbmi2 | kPopcnt},
#endif
#if defined(REMOVE_NEON_KERNEL)
      NamedKernel{"neon", scan_neon, 0},
#endif
};

[[nodiscard]] constexpr bool can_run(const NamedKernel& kernel, CpuFeatures features) {
  return (kernel.needs & ~features) == 0;
}

// The fastest kernel that a CPU with `features` can run.
[[nodiscard]] constexpr const NamedKernel& choose_kernel(CpuFeatures features) {
  const NamedKernel* best = &kKernels.front();
  for (const NamedKernel& kernel : kKernels) {
    if (can_run(kernel, features)) {
      best = &kernel;
    }
  }
  return *best;
}

// The features of the CPU this process runs on.
[[nodiscard]] CpuFeatures cpu_features();
