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

namespace {

// Two levels, 0 and pi: the step is (angle / 2pi) * 2 rounded half away
// from zero, so the phase is 1 wherever |angle| >= pi/2. A negative x puts
// the angle beyond pi/2 (or, for a tiny x, at pi/2 rounded, which rounds to
// 1 all the same): phase 1. An x above |y| * 2^-30 keeps the angle within
// pi/2 - 2^-31 and t below 0.5 - 2^-33, far from any rounding: phase 0.
// Everything else (x = 0 or nearly, a NaN, infinities against each other)
// takes atan2.
void two_level_indices(const double* y, const double* x, std::uint32_t* out, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) {
    if (x[i] < 0.0 && !std::isnan(y[i])) {
      out[i] = 1;
    } else if (x[i] > std::fabs(y[i]) * 0x1p-30) {
      out[i] = 0;
    } else {
      out[i] = angle_to_phase_index(std::atan2(y[i], x[i]), 2);
    }
  }
}

}  // namespace

void angles_to_phase_indices(const double* y, const double* x, std::uint32_t* out, std::size_t len,
                             std::uint32_t n) {
  if (len == 0) return;
  if (n == 0) throw InternalFailure("attempt to calculate the remainder with a divisor of zero");
  if (n == 2) {
    two_level_indices(y, x, out, len);
    return;
  }
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
