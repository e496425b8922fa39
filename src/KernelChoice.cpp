#include "KernelChoice.hpp"

#if defined(REMOVE_X86_KERNELS) && __has_include(<sys/platform/x86.h>)
// The C library's header spells the type the C way, which clang++ does not know.
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool
#endif

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
