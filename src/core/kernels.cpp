#include "kernels.hpp"

#include <cstdlib>
#include <cstring>

namespace tesmerine::core {

extern const Kernels kGenericKernels;
#if (defined(__x86_64__) || defined(__i386__)) && !defined(TESMERINE_NO_X86_KERNELS)
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx512Kernels;
#endif

namespace {

const Kernels* select_kernels() {
#ifdef TESMERINE_KERNELS_OVERRIDE
  // Test builds only: TESMERINE_KERNELS=generic|avx2|avx512 forces a variant
  // (which the processor must still support), so each can be checked.
  if (const char* forced = std::getenv("TESMERINE_KERNELS")) {
    if (std::strcmp(forced, "generic") == 0) return &kGenericKernels;
#if (defined(__x86_64__) || defined(__i386__)) && !defined(TESMERINE_NO_X86_KERNELS)
    if (std::strcmp(forced, "avx2") == 0) return &kAvx2Kernels;
    if (std::strcmp(forced, "avx512") == 0) return &kAvx512Kernels;
#endif
  }
#endif
#if (defined(__x86_64__) || defined(__i386__)) && !defined(TESMERINE_NO_X86_KERNELS)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
    return &kAvx512Kernels;
  }
  if (__builtin_cpu_supports("avx2")) return &kAvx2Kernels;
#endif
  return &kGenericKernels;
}

}  // namespace

const Kernels& kernels() {
  // Chosen once; the choice depends only on the processor.
  static const Kernels* const chosen = select_kernels();
  return *chosen;
}

}  // namespace tesmerine::core
