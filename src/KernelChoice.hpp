// The choice of block kernel: every kernel built into the program, what each needs of the CPU,
// and the fastest one a CPU can run.
#pragma once

#include <array>

#include "ScanKernel.hpp"

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
