#include <algorithm>
#include <cstdint>

#include "ScanKernel.hpp"

#if defined(REMOVE_X86_KERNELS) && __has_include(<sys/platform/x86.h>)
// The C library's header spells the type the C way, which clang++ does not know.
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool
#endif

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

CpuFeatures cpu_features() {
  CpuFeatures features = 0;
#if defined(REMOVE_X86_KERNELS) && __has_include(<sys/platform/x86.h>)
  // The C library's loader has already asked the CPU, and checked that the kernel saves the
  // vector registers; reading its answer costs no CPUID, which traps to the hypervisor in a
  // virtual machine.
  features |= CPU_FEATURE_ACTIVE(POPCNT) ? kPopcnt : 0;
  features |= CPU_FEATURE_ACTIVE(AVX2) ? kAvx2 : 0;
  features |= CPU_FEATURE_ACTIVE(AVX512F) ? kAvx512F : 0;
  features |= CPU_FEATURE_ACTIVE(AVX512BW) ? kAvx512BW : 0;
  features |= CPU_FEATURE_ACTIVE(AVX512_VBMI2) ? kAvx512Vbmi2 : 0;
  features |= CPU_FEATURE_ACTIVE(BMI1) ? kBmi1 : 0;
  features |= CPU_FEATURE_ACTIVE(BMI2) ? kBmi2 : 0;
#elif defined(REMOVE_X86_KERNELS)
  // __builtin_cpu_supports takes only a literal name, hence one line a feature.
  __builtin_cpu_init();
  features |= __builtin_cpu_supports("popcnt") ? kPopcnt : 0;
  features |= __builtin_cpu_supports("avx2") ? kAvx2 : 0;
  features |= __builtin_cpu_supports("avx512f") ? kAvx512F : 0;
  features |= __builtin_cpu_supports("avx512bw") ? kAvx512BW : 0;
  features |= __builtin_cpu_supports("avx512vbmi2") ? kAvx512Vbmi2 : 0;
  features |= __builtin_cpu_supports("bmi") ? kBmi1 : 0;
  features |= __builtin_cpu_supports("bmi2") ? kBmi2 : 0;
#endif
  return features;
}
