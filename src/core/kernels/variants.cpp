// The one table of kernel variants: each with the processor features it
// requires, best first. The first one the processor supports is used. A
// new variant is one source file (its overrides of the portable loops) and
// one row here.
#include <cstdlib>
#include <cstring>

#include "core/kernels/cpu_features.hpp"
#include "core/kernels/kernels.hpp"

namespace tesmerine::core {

extern const Kernels kGenericKernels;
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx512Kernels;
extern const Kernels kAvx512VbmiKernels;

namespace {

struct KernelVariant {
  const char* name;
  std::uint32_t required;
  const Kernels* kernels;
};

constexpr std::uint32_t kAvx512Base = kCpuAvx512F | kCpuAvx512Bw | kCpuAvx512Vl | kCpuAvx512Dq;

constexpr KernelVariant kVariants[] = {
#if TESMERINE_X86_KERNELS
    {"avx512-vbmi", kAvx512Base | kCpuAvx512Vbmi, &kAvx512VbmiKernels},
    {"avx512", kAvx512Base, &kAvx512Kernels},
    {"avx2", kCpuAvx2, &kAvx2Kernels},
#endif
    {"generic", 0, &kGenericKernels},
};
constexpr std::size_t kVariantCount = sizeof kVariants / sizeof kVariants[0];

bool supported(const KernelVariant& variant, std::uint32_t features) {
  return (variant.required & ~features) == 0;
}

const Kernels* select_kernels() {
  const std::uint32_t features = detect_cpu_features();
#ifdef TESMERINE_KERNELS_OVERRIDE
  // Test builds only: TESMERINE_KERNELS=name forces any variant of the table
  // that the processor supports, so that each can be checked; another name
  // is ignored. Release builds never read the environment.
  if (const char* forced = std::getenv("TESMERINE_KERNELS")) {
    for (const KernelVariant& variant : kVariants) {
      if (std::strcmp(forced, variant.name) == 0 && supported(variant, features)) return variant.kernels;
    }
  }
#endif
  for (const KernelVariant& variant : kVariants) {
    if (supported(variant, features)) return variant.kernels;
  }
  return &kGenericKernels;
}

}  // namespace

const Kernels& kernels() {
  // Chosen once; the choice depends only on the processor.
  static const Kernels* const chosen = select_kernels();
  return *chosen;
}

const char* const* supported_kernel_variants() {
  static const char* names[kVariantCount + 1] = {};
  static const bool listed = [] {
    const std::uint32_t features = detect_cpu_features();
    std::size_t count = 0;
    for (const KernelVariant& variant : kVariants) {
      if (supported(variant, features)) names[count++] = variant.name;
    }
    return true;
  }();
  (void)listed;
  return names;
}

}  // namespace tesmerine::core
