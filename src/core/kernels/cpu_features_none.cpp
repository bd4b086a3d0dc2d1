// Processors with no kernel variant of their own beyond the portable loops.
#include "core/kernels/cpu_features.hpp"

namespace tesmerine::core {

std::uint32_t detect_cpu_features() { return 0; }

}  // namespace tesmerine::core
