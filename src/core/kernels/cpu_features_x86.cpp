#include "core/kernels/cpu_features.hpp"

namespace tesmerine::core {

std::uint32_t detect_cpu_features() {
  __builtin_cpu_init();
  std::uint32_t features = 0;
  if (__builtin_cpu_supports("avx2")) features |= kCpuAvx2;
  if (__builtin_cpu_supports("avx512f")) features |= kCpuAvx512F;
  if (__builtin_cpu_supports("avx512bw")) features |= kCpuAvx512Bw;
  if (__builtin_cpu_supports("avx512vl")) features |= kCpuAvx512Vl;
  if (__builtin_cpu_supports("avx512dq")) features |= kCpuAvx512Dq;
  if (__builtin_cpu_supports("avx512vbmi")) features |= kCpuAvx512Vbmi;
#ifdef TESMERINE_EMULATE_AVX512
  // A test build whose AVX-512 variants run on portable code: any processor
  // can run them.
  features |= kCpuAvx512F | kCpuAvx512Bw | kCpuAvx512Vl | kCpuAvx512Dq | kCpuAvx512Vbmi;
#endif
  return features;
}

}  // namespace tesmerine::core
