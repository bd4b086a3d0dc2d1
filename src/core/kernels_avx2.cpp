// The kernels built for processors with AVX2.
#include "kernels_impl.hpp"

TESMERINE_DEFINE_KERNELS(kAvx2Kernels, "avx2")
