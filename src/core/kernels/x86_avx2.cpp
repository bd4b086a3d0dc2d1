// AVX2: the portable loops compiled for 32-byte registers.
#include "core/kernels/portable_loops.hpp"

namespace tesmerine::core {

extern const Kernels kAvx2Kernels;
const Kernels kAvx2Kernels = portable_kernels<32>();

}  // namespace tesmerine::core
