// Prints the kernel variants this processor supports, best first, one per
// line: the names a test build accepts in TESMERINE_KERNELS.
#include <cstdio>

#include "core/kernels/kernels.hpp"

int main() {
  for (const char* const* name = tesmerine::core::supported_kernel_variants(); *name != nullptr; ++name) {
    std::puts(*name);
  }
  return 0;
}
