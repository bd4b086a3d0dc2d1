// Constants shared by the record, the generator, the kernels and the
// resonator. Plain values only (no functions), so that every kernel variant
// may include it without sharing code across instruction sets.
#pragma once

#include <cstdint>

namespace tesmerine::core {

// The double nearest to 2*pi (bit pattern 0x401921FB54442D18).
inline constexpr double kTwoPi = 6.283185307179586;

inline constexpr std::uint32_t kMinResolution = 2;
inline constexpr std::uint32_t kMaxResolution = 65536;

// The seeded generator: phase i of a vector is
//   mix(seed * kSeedMultiplier ^ i * kCounterStep) mod n,
// where mix is one xor-shift by 29, a multiply by kMixMultiplier and one
// xor-shift by 32, all on 64-bit words that wrap.
inline constexpr std::uint64_t kSeedMultiplier = 0xC2B2AE3D27D4EB4Full;
inline constexpr std::uint64_t kCounterStep = 0x9E3779B97F4A7C15ull;
inline constexpr std::uint64_t kMixMultiplier = 0xBF58476D1CE4E5B9ull;

}  // namespace tesmerine::core
