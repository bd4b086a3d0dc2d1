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
  return features;
}

}  // namespace tesmerine::core
