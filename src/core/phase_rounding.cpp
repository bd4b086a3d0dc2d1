#include "core/phase_rounding.hpp"

#include <algorithm>
#include <cmath>

#include "core/blocks.hpp"
#include "core/core_error.hpp"
#include "core/kernels/kernels.hpp"
#include "core/phase_constants.hpp"

namespace tesmerine::core {

std::int64_t round_half_away(double x) {
  // 2^63 as a double: every finite double strictly inside (-2^63, 2^63) after
  // rounding converts to int64 without overflow; -2^63 itself also fits.
  constexpr double kLimit = 9223372036854775808.0;
  const double rounded = std::round(x);  // halves away from zero
  if (!(rounded >= -kLimit && rounded < kLimit)) {
    throw InternalFailure("rounded phase value is not a finite 64-bit integer");
  }
  return static_cast<std::int64_t>(rounded);
}

std::uint32_t angle_to_phase_index(double theta, std::uint32_t n) {
  if (n == 0) throw InternalFailure("attempt to calculate the remainder with a divisor of zero");
  // The division first, then the multiplication, each rounded by itself.
  const double turns = theta / kTwoPi;
  const double t = turns * static_cast<double>(n);
  const std::int64_t k = round_half_away(t);
  const std::int64_t modulus = static_cast<std::int64_t>(n);
  // An angle from atan2 gives |k| <= n / 2: one correction is the Euclidean
  // remainder there; any other k takes the division.
  if (k >= -modulus && k < modulus) return static_cast<std::uint32_t>(k < 0 ? k + modulus : k);
  std::int64_t r = k % modulus;
  if (r < 0) r += modulus;
  return static_cast<std::uint32_t>(r);
}

void angles_to_phase_indices(const double* y, const double* x, std::uint32_t* out, std::size_t len,
                             std::uint32_t n) {
  if (len == 0) return;
  if (n == 0) throw InternalFailure("attempt to calculate the remainder with a divisor of zero");
  std::int32_t steps[kBlock];
  const double steps_per_radian = static_cast<double>(n) / kTwoPi;
  const std::int64_t modulus = static_cast<std::int64_t>(n);
  for_each_block(0, len, [&](std::size_t start, std::size_t count) {
    kernels().nearest_steps(y + start, x + start, steps, count, steps_per_radian);
    for (std::size_t i = 0; i < count; ++i) {
      if (steps[i] == kUndecidedStep) {
        out[start + i] = angle_to_phase_index(std::atan2(y[start + i], x[start + i]), n);
      } else {
        // A decided step lies in [-n/2, n/2]: one correction is the
        // Euclidean remainder.
        const std::int64_t k = steps[i];
        out[start + i] = static_cast<std::uint32_t>(k < 0 ? k + modulus : k);
      }
    }
  });
}

}  // namespace tesmerine::core
