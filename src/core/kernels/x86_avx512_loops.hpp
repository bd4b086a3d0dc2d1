// The AVX-512 (F, BW, VL, DQ) kernels: 64-byte registers, memory gathers for
// the bundle fold, permutations for codebook tables small enough to sit in
// registers (larger ones are read as (re, im) pairs, one load a phasor: on
// AMD Zen 4 that is three times as fast as gathering re and im apart), and
// the generator's remainder taken in doubles.
//
// Included by each AVX-512 variant's source, which compiles its own private
// copy with its own flags: a variant's table then points only at code of
// its own file and is a compile-time constant, never a copy of another
// file's table made at load time.
#pragma once

#include "core/kernels/x86_intrinsics.hpp"

#include "core/kernels/portable_loops.hpp"
#include "core/kernels/x86_phasor_pairs.hpp"

namespace tesmerine::core {
namespace {

std::uint16_t largest_lane(__m128i tops) {
  alignas(16) std::uint16_t lanes[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), tops);
  std::uint16_t largest = 0;
  for (std::uint16_t t : lanes) largest = t > largest ? t : largest;
  return largest;
}

// Eight positions at a time: the phases widen to 32-bit indices of one
// 64-bit gather.
std::uint16_t gather_add_one_avx512(const std::uint16_t* phases, const std::uint64_t* table, std::uint64_t* acc,
                                    std::size_t len) {
  std::size_t i = 0;
  __m128i top = _mm_setzero_si128();
  for (; i + 8 <= len; i += 8) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(phases + i));
    top = _mm_max_epu16(top, p);
    const __m512i v = _mm512_i32gather_epi64(_mm256_cvtepu16_epi32(p), table, 8);
    _mm512_storeu_si512(acc + i, _mm512_add_epi64(_mm512_loadu_si512(acc + i), v));
  }
  return gather_add_one_from(i, phases, table, acc, len, largest_lane(top));
}

void gather_add_four_avx512(const std::uint16_t* const* four, const std::uint64_t* table, std::uint64_t* acc,
                            std::size_t len, std::uint16_t* tops) {
  std::size_t i = 0;
  __m128i top[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  for (; i + 8 <= len; i += 8) {
    __m512i v[4];
    for (int q = 0; q < 4; ++q) {
      const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(four[q] + i));
      top[q] = _mm_max_epu16(top[q], p);
      v[q] = _mm512_i32gather_epi64(_mm256_cvtepu16_epi32(p), table, 8);
    }
    const __m512i sum = _mm512_add_epi64(_mm512_add_epi64(v[0], v[1]), _mm512_add_epi64(v[2], v[3]));
    _mm512_storeu_si512(acc + i, _mm512_add_epi64(_mm512_loadu_si512(acc + i), sum));
  }
  for (int q = 0; q < 4; ++q) tops[q] = largest_lane(top[q]);
  gather_add_four_from(i, four, table, acc, len, tops);
}

void gather_add_avx512(const std::uint16_t* const* phases, std::size_t count, std::size_t offset,
                       const std::uint64_t* table, std::uint32_t, std::uint64_t* acc, std::size_t len,
                       std::uint16_t* largest) {
  gather_add_items<gather_add_one_avx512, gather_add_four_avx512>(phases, count, offset, table, acc, len,
                                                                   largest);
}

// A cos/sin table of at most 16 entries held in registers, zero-padded, so
// that a permutation reads it instead of a memory gather.
constexpr std::size_t kRegisterTableSize = 16;

struct RegisterTable {
  __m512d re_lo, re_hi, im_lo, im_hi;
};

RegisterTable load_register_table(const double* table_re, const double* table_im, std::size_t table_size) {
  alignas(64) double re[kRegisterTableSize] = {}, im[kRegisterTableSize] = {};
  // An empty table may have no storage at all: memcpy from a null pointer is
  // undefined even for zero bytes.
  if (table_size != 0) {
    std::memcpy(re, table_re, table_size * sizeof(double));
    std::memcpy(im, table_im, table_size * sizeof(double));
  }
  return {_mm512_load_pd(re), _mm512_load_pd(re + 8), _mm512_load_pd(im), _mm512_load_pd(im + 8)};
}

// One lane per entry of the group; term = (re * w_re) + (im * w_im), added
// to each lane's sum in component order.
__m512d dot_term(__m512d e_re, __m512d e_im, double w_re, double w_im) {
  return _mm512_add_pd(_mm512_mul_pd(e_re, _mm512_set1_pd(w_re)), _mm512_mul_pd(e_im, _mm512_set1_pd(w_im)));
}

__m512d dot_group_in_registers(const std::uint16_t* lanes, const std::uint32_t* offsets, const double* table_re,
                               const double* table_im, std::size_t table_size, const double* w_re,
                               const double* w_im, std::size_t dim, const double* sums) {
  const RegisterTable table = load_register_table(table_re, table_im, table_size);
  // The zero-masked form: the same widening, without the unset register
  // that trips GCC's uninitialised-use warning.
  const __m512i off =
      _mm512_maskz_cvtepu32_epi64(0xFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets)));
  __m512d s = _mm512_loadu_pd(sums);
  for (std::size_t i = 0; i < dim; ++i) {
    const __m512i k = _mm512_add_epi64(
        _mm512_cvtepu16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes + i * kEntryLanes))), off);
    const __m512d e_re = _mm512_permutex2var_pd(table.re_lo, k, table.re_hi);
    const __m512d e_im = _mm512_permutex2var_pd(table.im_lo, k, table.im_hi);
    s = _mm512_add_pd(s, dot_term(e_re, e_im, w_re[i], w_im[i]));
  }
  return s;
}

void dot_group_avx512(const std::uint16_t* lanes, const std::uint16_t* const* phases, std::size_t present,
                      const std::uint32_t* offsets,
                      const double* table_re, const double* table_im, const double* table_pairs,
                      std::size_t table_size, const double* w_re, const double* w_im, std::size_t dim,
                      double* sums) {
  if (table_size > kRegisterTableSize) {
    dot_group_pairs(lanes, phases, present, offsets, table_re, table_im, table_pairs, table_size, w_re, w_im, dim, sums);
    return;
  }
  _mm512_storeu_pd(sums,
                   dot_group_in_registers(lanes, offsets, table_re, table_im, table_size, w_re, w_im, dim, sums));
}

// The superposition, 8 components at a time, the table in registers; returns
// the first component it left.
std::size_t superpose_in_registers(const std::uint16_t* const* phases, const std::uint32_t* offsets,
                                   const double* weights, std::size_t count, const double* table_re,
                                   const double* table_im, std::size_t table_size, std::size_t dim,
                                   double* out_re, double* out_im) {
  const RegisterTable table = load_register_table(table_re, table_im, table_size);
  std::size_t i = 0;
  for (; i + 8 <= dim; i += 8) {
    __m512d acc_re = _mm512_loadu_pd(out_re + i);
    __m512d acc_im = _mm512_loadu_pd(out_im + i);
    for (std::size_t j = 0; j < count; ++j) {
      const __m512i k = _mm512_add_epi64(
          _mm512_cvtepu16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(phases[j] + i))),
          _mm512_set1_epi64(static_cast<long long>(offsets[j])));
      const __m512d w = _mm512_set1_pd(weights[j]);
      acc_re = _mm512_add_pd(acc_re, _mm512_mul_pd(w, _mm512_permutex2var_pd(table.re_lo, k, table.re_hi)));
      acc_im = _mm512_add_pd(acc_im, _mm512_mul_pd(w, _mm512_permutex2var_pd(table.im_lo, k, table.im_hi)));
    }
    _mm512_storeu_pd(out_re + i, acc_re);
    _mm512_storeu_pd(out_im + i, acc_im);
  }
  return i;
}

void superpose_avx512(const std::uint16_t* const* phases, const std::uint32_t* offsets, const double* weights,
                      std::size_t count, const double* table_re, const double* table_im, const double* table_pairs,
                      std::size_t table_size, std::size_t dim, double* out_re, double* out_im) {
  if (table_size > kRegisterTableSize) {
    superpose_pairs(phases, offsets, weights, count, table_re, table_im, table_pairs, table_size, dim, out_re, out_im);
    return;
  }
  const std::size_t done =
      superpose_in_registers(phases, offsets, weights, count, table_re, table_im, table_size, dim, out_re, out_im);
  superpose_components_from(done, phases, offsets, weights, count, table_re, table_im, dim, out_re, out_im);
}

constexpr Kernels avx512_kernels() {
  Kernels k = portable_kernels<64>();
  k.random = random_by_float_remainder;
  k.gather_add = gather_add_avx512;
  k.dot_group = dot_group_avx512;
  k.superpose = superpose_avx512;
  k.lanes_table_limit = kRegisterTableSize;
  return k;
}

}  // namespace
}  // namespace tesmerine::core
