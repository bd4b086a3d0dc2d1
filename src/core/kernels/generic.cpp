// The portable loops alone: the variant for any processor, and the baseline
// of every other (on x86-64, SSE2 registers of 16 bytes).
#include "core/kernels/portable_loops.hpp"

namespace tesmerine::core {

extern const Kernels kGenericKernels;
constinit const Kernels kGenericKernels = portable_kernels<16>();

}  // namespace tesmerine::core
