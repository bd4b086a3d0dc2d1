// The kernels built for any x86-64 (the portable baseline).
#include "kernels_impl.hpp"

TESMERINE_DEFINE_KERNELS(kGenericKernels, "generic")
