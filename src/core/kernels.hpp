// Inner loops of the core, built once per instruction set and chosen at run
// time. Every variant performs the same IEEE operations in the same order on
// each value: vector lanes only ever hold independent elements or
// independent sums, never parts of one sum, and nothing is fused.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tesmerine::core {

// Entries of a phasor codebook interleaved in groups of this many, so that
// one group's dot products run side by side, one lane per entry.
inline constexpr std::size_t kEntryLanes = 8;

struct Kernels {
  const char* name;
  // out[i] = (a[i] + b[i]) mod n, for entries below n.
  void (*bind)(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, std::size_t len,
               std::uint32_t n);
  // out[i] = ((n - b[i]) + a[i]) mod n.
  void (*unbind)(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, std::size_t len,
                 std::uint32_t n);
  // out[i] = phase_mix(seed_word ^ ((first + i) * step)) mod n.
  void (*random)(std::uint16_t* out, std::size_t len, std::uint64_t first, std::uint64_t seed_word,
                 std::uint32_t n);
  // angles[i] = ((a[i] - b[i]) * 2pi) / resolution.
  void (*difference_angles)(const std::uint16_t* a, const std::uint16_t* b, double* angles, std::size_t len,
                            double resolution);
  // acc[i] += table[phases[i]]; returns the largest phase seen.
  std::uint16_t (*gather_add)(const std::uint16_t* phases, const std::uint64_t* table, std::uint64_t* acc,
                              std::size_t len);
  // For the kEntryLanes entries of one group (lane l reads phase
  // lanes[i * kEntryLanes + l] through table offset offsets[l]):
  // sums[l] = sum over i in order of (re[k] * w_re[i]) + (im[k] * w_im[i]).
  void (*dot_group)(const std::uint16_t* lanes, const std::uint32_t* offsets, const double* table_re,
                    const double* table_im, std::size_t table_size, const double* w_re, const double* w_im,
                    std::size_t dim, double* sums);
  // For each component i: out[i] = out[i] + weights[j] * table[offsets[j] + rows[j * dim + i]],
  // for j = 0 .. count - 1 in order (re and im alike).
  void (*superpose)(const std::uint16_t* rows, const std::uint32_t* offsets, const double* weights,
                    std::size_t count, const double* table_re, const double* table_im, std::size_t table_size,
                    std::size_t dim, double* out_re, double* out_im);
  // w = w * conj(e), componentwise.
  void (*unbind_phasors)(double* w_re, double* w_im, const double* e_re, const double* e_im, std::size_t len);
};

// The variant for this processor (the best one it supports).
const Kernels& kernels();

}  // namespace tesmerine::core
