// The processor features that kernel variants require, as bits.
#pragma once

#include <cstdint>

namespace tesmerine::core {

enum CpuFeature : std::uint32_t {
  kCpuAvx2 = 1u << 0,
  kCpuAvx512F = 1u << 1,
  kCpuAvx512Bw = 1u << 2,
  kCpuAvx512Vl = 1u << 3,
  kCpuAvx512Dq = 1u << 4,
  kCpuAvx512Vbmi = 1u << 5,
};

// The features of the processor this runs on (the bits above); one source
// file per architecture defines it.
std::uint32_t detect_cpu_features();

}  // namespace tesmerine::core
