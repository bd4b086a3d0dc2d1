// The resonator's codebook kernels on 32-byte registers (AVX), reading
// each phasor as one (re, im) pair from table_pairs instead of gathering re
// and im apart: where gathers are slow, plain loads are faster. Included by
// the x86 variants that use them, each compiling it with its own flags.
#pragma once

#include "core/kernels/x86_intrinsics.hpp"

#include "core/kernels/portable_loops.hpp"

namespace tesmerine::core {
namespace {

// The phasors of two table entries, a and b, in one register: re_a, im_a,
// re_b, im_b.
inline __m256d two_pairs(const double* table_pairs, std::size_t a, std::size_t b) {
  return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(table_pairs + 2 * a)),
                              _mm_loadu_pd(table_pairs + 2 * b), 1);
}

// Each entry's phasor is one load from table_pairs; multiplied by
// (w_re, w_im, w_re, w_im) it gives both products of two entries' terms,
// and one horizontal addition per two registers adds each pair: the four
// terms (re * w_re) + (im * w_im) of entries 0, 2, 1, 3 (and 4, 6, 5, 7),
// each added to its own lane's sum in component order.
void dot_group_pairs(const std::uint16_t*, const std::uint16_t* const* phases, std::size_t present, const std::uint32_t* offsets,
                     const double*, const double*, const double* table_pairs, std::size_t, const double* w_re,
                     const double* w_im, std::size_t dim, double* sums) {
  std::size_t off[kEntryLanes];
  for (std::size_t l = 0; l < kEntryLanes; ++l) off[l] = offsets[l];
  // Each register holds the sums of entries 0, 2, 1, 3 (and 4, 6, 5, 7).
  __m256d s0 = _mm256_setr_pd(sums[0], sums[2], sums[1], sums[3]);
  __m256d s1 = _mm256_setr_pd(sums[4], sums[6], sums[5], sums[7]);
  for (std::size_t start = 0; start < dim; start += kComponentTile) {
    const std::uint16_t* p[kEntryLanes];
    group_rows(phases, present, start, p);
    const std::size_t width = dim - start < kComponentTile ? dim - start : kComponentTile;
    for (std::size_t c = 0; c < width; ++c) {
      const std::size_t i = start + c;
      const __m256d w = _mm256_blend_pd(_mm256_broadcast_sd(w_re + i), _mm256_broadcast_sd(w_im + i), 0xA);
      const __m256d m0 = _mm256_mul_pd(two_pairs(table_pairs, off[0] + p[0][c], off[1] + p[1][c]), w);
      const __m256d m1 = _mm256_mul_pd(two_pairs(table_pairs, off[2] + p[2][c], off[3] + p[3][c]), w);
      const __m256d m2 = _mm256_mul_pd(two_pairs(table_pairs, off[4] + p[4][c], off[5] + p[5][c]), w);
      const __m256d m3 = _mm256_mul_pd(two_pairs(table_pairs, off[6] + p[6][c], off[7] + p[7][c]), w);
      s0 = _mm256_add_pd(s0, _mm256_hadd_pd(m0, m1));
      s1 = _mm256_add_pd(s1, _mm256_hadd_pd(m2, m3));
    }
  }
  alignas(32) double lanes0[4], lanes1[4];
  _mm256_store_pd(lanes0, s0);
  _mm256_store_pd(lanes1, s1);
  const double ordered[kEntryLanes] = {lanes0[0], lanes0[2], lanes0[1], lanes0[3],
                                       lanes1[0], lanes1[2], lanes1[1], lanes1[3]};
  for (std::size_t l = 0; l < kEntryLanes; ++l) sums[l] = ordered[l];
}

// The weighted superposition, one tile of kComponentTile components at a
// time: each register holds the (re, im) sums of two components, and each
// entry adds weight * (re, im) of its phasor, read with one load, to them,
// entries in order.
void superpose_pairs(const std::uint16_t* const* phases, const std::uint32_t* offsets, const double* weights,
                    std::size_t count, const double* table_re, const double* table_im, const double* table_pairs,
                    std::size_t, std::size_t dim, double* out_re, double* out_im) {
  constexpr std::size_t kRegisters = kComponentTile / 2;
  std::size_t first = 0;
  for (; first + kComponentTile <= dim; first += kComponentTile) {
    __m256d acc[kRegisters];
    for (std::size_t r = 0; r < kRegisters; ++r) {
      const std::size_t c = first + 2 * r;
      acc[r] = _mm256_setr_pd(out_re[c], out_im[c], out_re[c + 1], out_im[c + 1]);
    }
    for (std::size_t j = 0; j < count; ++j) {
      const __m256d w = _mm256_set1_pd(weights[j]);
      const std::uint16_t* p = phases[j] + first;
      const std::size_t off = offsets[j];
      for (std::size_t r = 0; r < kRegisters; ++r) {
        acc[r] = _mm256_add_pd(acc[r], _mm256_mul_pd(w, two_pairs(table_pairs, off + p[2 * r], off + p[2 * r + 1])));
      }
    }
    for (std::size_t r = 0; r < kRegisters; ++r) {
      alignas(32) double v[4];
      _mm256_store_pd(v, acc[r]);
      const std::size_t c = first + 2 * r;
      out_re[c] = v[0];
      out_im[c] = v[1];
      out_re[c + 1] = v[2];
      out_im[c + 1] = v[3];
    }
  }
  superpose_components_from(first, phases, offsets, weights, count, table_re, table_im, dim, out_re, out_im);
}

}  // namespace
}  // namespace tesmerine::core
