// AVX-512 (F, BW, VL, DQ): the kernels of x86_avx512_loops.hpp.
#include "core/kernels/x86_avx512_loops.hpp"

namespace tesmerine::core {

extern const Kernels kAvx512Kernels;
constinit const Kernels kAvx512Kernels = avx512_kernels();

}  // namespace tesmerine::core
