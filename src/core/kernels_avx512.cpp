// The kernels built for processors with AVX512.
#include "kernels_impl.hpp"

TESMERINE_DEFINE_KERNELS(kAvx512Kernels, "avx512")
