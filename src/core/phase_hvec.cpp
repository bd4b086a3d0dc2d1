#include "phase_hvec.hpp"

#include <cmath>
#include <string>

#include "core_error.hpp"

namespace tesmerine::core {
namespace {

// The largest phase count whose array (2 bytes a phase) still fits in the
// largest object size, 2^63 - 1 bytes.
constexpr std::uint64_t kMaxDim = 0x3FFFFFFFFFFFFFFFull;

std::vector<std::uint16_t> allocate_phases(std::uint64_t dim) {
  if (dim > kMaxDim) throw InternalFailure("capacity overflow");
  return std::vector<std::uint16_t>(static_cast<std::size_t>(dim));
}

// Splittable counter-based mixer: one xor-shift, one multiply, one xor-shift.
constexpr std::uint64_t kSeedMultiplier = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kIndexStep = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kMixMultiplier = 0xBF58476D1CE4E5B9ull;

constexpr std::uint64_t phase_mix(std::uint64_t x) {
  x ^= x >> 29;
  x *= kMixMultiplier;
  x ^= x >> 32;
  return x;
}

[[noreturn]] void fail_bundle_assertion(const char* what, std::uint64_t left, std::uint64_t right) {
  throw InternalFailure(std::string("assertion `left == right` failed: phase-vector ") + what +
                        " mismatch in bundle\n  left: " + std::to_string(left) +
                        "\n right: " + std::to_string(right));
}

// Fixed-point unit circle: entries are cos/sin of 2*pi*k/n scaled by 2^14.
struct PhasorTables {
  std::vector<std::int64_t> cos_table;
  std::vector<std::int64_t> sin_table;
};

PhasorTables build_phasor_tables(std::uint32_t n) {
  constexpr double kScale = 16384.0;
  const double resolution = static_cast<double>(n);
  PhasorTables tables{std::vector<std::int64_t>(n), std::vector<std::int64_t>(n)};
  for (std::uint32_t k = 0; k < n; ++k) {
    // The product first, then the division: each rounded by itself.
    const double product = static_cast<double>(k) * kTwoPi;
    const double angle = product / resolution;
    tables.cos_table[k] = round_half_away(std::cos(angle) * kScale);
    tables.sin_table[k] = round_half_away(std::sin(angle) * kScale);
  }
  return tables;
}

}  // namespace

void require_compatible(const PhaseHVec& a, const PhaseHVec& b) {
  if (a.dim != b.dim || a.n != b.n) throw UserError(kMismatchMessage);
}

PhaseHVec bind(const PhaseHVec& a, const PhaseHVec& b) {
  require_compatible(a, b);
  PhaseHVec out{allocate_phases(a.dim), a.dim, a.n};
  const std::uint32_t n = a.n;
  const std::size_t len = std::min(a.phases.size(), b.phases.size());
  for (std::size_t i = 0; i < len; ++i) {
    // Both entries are below n, so the sum is below 2n and one conditional
    // subtraction is the exact remainder.
    const std::uint32_t sum = std::uint32_t{a.phases[i]} + std::uint32_t{b.phases[i]};
    out.phases[i] = static_cast<std::uint16_t>(sum >= n ? sum - n : sum);
  }
  return out;
}

PhaseHVec unbind(const PhaseHVec& a, const PhaseHVec& b) {
  require_compatible(a, b);
  PhaseHVec out{allocate_phases(a.dim), a.dim, a.n};
  const std::uint32_t n = a.n;
  const std::size_t len = std::min(a.phases.size(), b.phases.size());
  for (std::size_t i = 0; i < len; ++i) {
    // (n - b) + a lies in [1, 2n - 1]; one conditional subtraction reduces it.
    const std::uint32_t diff = (n - std::uint32_t{b.phases[i]}) + std::uint32_t{a.phases[i]};
    out.phases[i] = static_cast<std::uint16_t>(diff >= n ? diff - n : diff);
  }
  return out;
}

PhaseHVec random(std::uint64_t dim, std::uint32_t n, std::uint64_t seed) {
  // Unsigned wrap-around makes this one comparison cover n < 2 and n > 65536.
  if (n - kMinResolution >= kMaxResolution - 1) throw UserError(kResolutionMessage);
  PhaseHVec out{allocate_phases(dim), dim, n};
  const std::uint64_t seed_word = seed * kSeedMultiplier;
  std::uint64_t offset = 0;
  for (std::uint16_t& phase : out.phases) {
    phase = static_cast<std::uint16_t>(phase_mix(seed_word ^ offset) % n);
    offset += kIndexStep;
  }
  return out;
}

double similarity(const PhaseHVec& a, const PhaseHVec& b) {
  require_compatible(a, b);
  if (a.dim == 0) return 1.0;
  const double resolution = static_cast<double>(a.n);
  const std::size_t len = std::min(a.phases.size(), b.phases.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < len; ++i) {
    // Signed difference, not reduced mod n: -1 and n - 1 are different angles.
    const double diff = static_cast<double>(a.phases[i]) - static_cast<double>(b.phases[i]);
    const double angle = (diff * kTwoPi) / resolution;
    sum += std::cos(angle);
  }
  return sum / static_cast<double>(a.dim);
}

PhaseHVec bundle(const std::vector<PhaseHVec>& items) {
  if (items.empty()) throw UserError(kEmptyBundleMessage);
  const std::uint64_t dim = items.front().dim;
  const std::uint32_t n = items.front().n;
  const PhasorTables tables = build_phasor_tables(n);

  // Exact integer sums; unsigned so that overflow wraps as two's complement.
  std::vector<std::uint64_t> cos_sums(static_cast<std::size_t>(dim), 0);
  std::vector<std::uint64_t> sin_sums(static_cast<std::size_t>(dim), 0);
  for (const PhaseHVec& item : items) {
    if (item.dim != dim) fail_bundle_assertion("dimension", item.dim, dim);
    if (item.n != n) fail_bundle_assertion("resolution", item.n, n);
    // A record always holds dim phases; refuse to read past a short one.
    if (item.phases.size() < cos_sums.size()) fail_index_out_of_bounds(item.phases.size(), item.phases.size());
    for (std::size_t i = 0; i < cos_sums.size(); ++i) {
      const std::uint16_t p = item.phases[i];
      check_index(p, n);
      cos_sums[i] += static_cast<std::uint64_t>(tables.cos_table[p]);
      sin_sums[i] += static_cast<std::uint64_t>(tables.sin_table[p]);
    }
  }

  PhaseHVec out{allocate_phases(dim), dim, n};
  for (std::size_t i = 0; i < out.phases.size(); ++i) {
    const double y = static_cast<double>(static_cast<std::int64_t>(sin_sums[i]));
    const double x = static_cast<double>(static_cast<std::int64_t>(cos_sums[i]));
    out.phases[i] = static_cast<std::uint16_t>(angle_to_phase_index(std::atan2(y, x), n));
  }
  return out;
}

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
  std::int64_t r = k % static_cast<std::int64_t>(n);
  if (r < 0) r += static_cast<std::int64_t>(n);
  return static_cast<std::uint32_t>(r);
}

}  // namespace tesmerine::core
