// Inner loops of the core, built once per instruction set and chosen at run
// time (variants.cpp holds the one table of variants). Every variant performs
// the same IEEE operations in the same order on each value: vector lanes only
// ever hold independent elements or independent sums, never parts of one
// sum, and nothing is fused.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

namespace tesmerine::core {

// Entries of a phasor codebook interleaved in groups of this many, so that
// one group's dot products run side by side, one lane per entry.
inline constexpr std::size_t kEntryLanes = 8;

// The weighted superposition works on blocks of this many components, each
// block's sums held while every entry's phases of the block are read.
inline constexpr std::size_t kComponentTile = 16;

// Marks a step that nearest_steps leaves to the exact path.
inline constexpr std::int32_t kUndecidedStep = INT32_MIN;

struct Kernels {
  // out[i] = (a[i] + b[i]) mod n, for entries below n.
  void (*bind)(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, std::size_t len,
               std::uint32_t n);
  // out[i] = ((n - b[i]) + a[i]) mod n.
  void (*unbind)(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, std::size_t len,
                 std::uint32_t n);
  // out[i] = mix(seed_word ^ (first + i) * kCounterStep) mod n for i < len
  // (phase_constants.hpp): phases first .. first + len - 1 of a vector.
  void (*random)(std::uint16_t* out, std::uint64_t first, std::size_t len, std::uint64_t seed_word,
                 std::uint32_t n);
  // angles[i] = ((a[i] - b[i]) * 2pi) / resolution.
  void (*difference_angles)(const std::uint16_t* a, const std::uint16_t* b, double* angles, std::size_t len,
                            double resolution);
  // For each of `count` items k: acc[i] += table[phases[k][offset + i]] for
  // i < len, and largest[k] becomes the larger of itself and every phase read.
  // The table's first n words are set; a phase of n or more reads
  // some word of the 2^16 (or, where n <= 256, a sum that is then refused
  // through largest).
  void (*gather_add)(const std::uint16_t* const* phases, std::size_t count, std::size_t offset,
                     const std::uint64_t* table, std::uint32_t n, std::uint64_t* acc, std::size_t len,
                     std::uint16_t* largest);
  // The codebook tables come twice: table_re and table_im apart, and
  // table_pairs with both values of entry k side by side (re at 2k, im at
  // 2k + 1), so that one load reads a phasor.
  //
  // The codebook's entries are read in place: phases[j] is entry j's array
  // of dim phase indices.
  //
  // For the group of `present` (1 .. kEntryLanes) entries phases[0 ..
  // present - 1], lane l reading entry l's phase p of component i through
  // table offset offsets[l], k = offsets[l] + p (lanes from `present` on
  // read phase 0, and their sums are not used), continuing from the sums
  // given: for i = 0 .. dim - 1 in order,
  // sums[l] = sums[l] + ((re[k] * w_re[i]) + (im[k] * w_im[i])).
  // A caller may so split the components into ranges, with phases[l], lanes,
  // w_re and w_im pointing at a range's first component.
  // Where table_size <= lanes_table_limit, `lanes` holds the same phases
  // with the group's entries side by side (lanes[i * kEntryLanes + l], 0
  // from `present` on); otherwise it is null.
  void (*dot_group)(const std::uint16_t* lanes, const std::uint16_t* const* phases, std::size_t present,
                    const std::uint32_t* offsets,
                    const double* table_re, const double* table_im, const double* table_pairs,
                    std::size_t table_size, const double* w_re, const double* w_im, std::size_t dim, double* sums);
  // For each component i: out[i] = out[i] + weights[j] * table[offsets[j] + p],
  // p = phases[j][i], for j = 0 .. count - 1 in order (re and im alike).
  void (*superpose)(const std::uint16_t* const* phases, const std::uint32_t* offsets, const double* weights,
                    std::size_t count, const double* table_re, const double* table_im, const double* table_pairs,
                    std::size_t table_size, std::size_t dim, double* out_re, double* out_im);
  // w = w * conj(e), componentwise.
  void (*unbind_phasors)(double* w_re, double* w_im, const double* e_re, const double* e_im, std::size_t len);
  // steps[i] = the integer nearest to (atan2(y[i], x[i]) / 2pi) * n, computed
  // without atan2, where it is certain to equal what libm's atan2 followed by
  // the division, the multiplication and the rounding gives; kUndecidedStep
  // where it is not (t too close to a half-integer, or x = y = 0).
  // steps_per_radian is n / 2pi.
  void (*nearest_steps)(const double* y, const double* x, std::int32_t* steps, std::size_t len,
                        double steps_per_radian);
  // The largest table for which dot_group reads `lanes` (0: never), so that
  // a codebook is copied that way only where it is read so.
  std::size_t lanes_table_limit;
};

// The variant for this processor: the first entry of the table that it
// supports (in a test build, the one TESMERINE_KERNELS names, if supported).
const Kernels& kernels();

// The names of the variants this processor supports, best first, ending
// with a null pointer: what a test build may force, one at a time.
const char* const* supported_kernel_variants();

}  // namespace tesmerine::core
