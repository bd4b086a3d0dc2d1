// The one rounding of an angle to a phase step, shared by the last step of
// bundling and the resonator's snap onto the lattice.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tesmerine::core {

// Nearest integer to x, halfway cases away from zero; panics if x is not a
// finite value inside the signed 64-bit range.
std::int64_t round_half_away(double x);

// The phase index nearest to the angle theta (radians, as atan2 gives it)
// on the n-level lattice: t = (theta / 2pi) * n rounded half away from zero,
// then its non-negative remainder mod n.
std::uint32_t angle_to_phase_index(double theta, std::uint32_t n);

// out[i] = angle_to_phase_index(atan2(y[i], x[i]), n) for i < len, exactly;
// atan2 is only called where a cheaper bound cannot settle the index.
void angles_to_phase_indices(const double* y, const double* x, std::uint32_t* out, std::size_t len,
                             std::uint32_t n);

}  // namespace tesmerine::core
