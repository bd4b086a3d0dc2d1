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

RegisterTable load_register_table(const double* pairs, std::size_t positions) {
  alignas(64) double re[kRegisterTableSize] = {}, im[kRegisterTableSize] = {};
  for (std::size_t k = 0; k < positions; ++k) {
    re[k] = pairs[2 * k];
    im[k] = pairs[2 * k + 1];
  }
  return {_mm512_load_pd(re), _mm512_load_pd(re + 8), _mm512_load_pd(im), _mm512_load_pd(im + 8)};
}

// One lane per entry of the group; term = (re * w_re) + (im * w_im), added
// to each lane's sum in component order.
__m512d dot_term(__m512d e_re, __m512d e_im, double w_re, double w_im) {
  return _mm512_add_pd(_mm512_mul_pd(e_re, _mm512_set1_pd(w_re)), _mm512_mul_pd(e_im, _mm512_set1_pd(w_im)));
}

// The group's byte offsets of one component, eight to a register, turned
// into positions that look the phasors up in the table's registers.
void dot_group_in_registers(const CodebookView& book, std::size_t group, const double* w_re, const double* w_im,
                            std::size_t first, std::size_t last, double* sums) {
  const RegisterTable table = load_register_table(book.pairs, book.positions);
  __m512d s = _mm512_loadu_pd(sums);
  const std::uint16_t* lanes = book.lanes + book.lane_index(group, first);
  for (std::size_t i = first; i < last; ++i, lanes += kEntryLanes) {
    const __m512i k = _mm512_srli_epi64(
        _mm512_cvtepu16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes))), 4);
    const __m512d e_re = _mm512_permutex2var_pd(table.re_lo, k, table.re_hi);
    const __m512d e_im = _mm512_permutex2var_pd(table.im_lo, k, table.im_hi);
    s = _mm512_add_pd(s, dot_term(e_re, e_im, w_re[i], w_im[i]));
  }
  _mm512_storeu_pd(sums, s);
}

bool fits_registers(const CodebookView& book) { return book.lanes != nullptr && book.positions <= kRegisterTableSize; }

void dot_groups_avx512(const CodebookView& book, std::size_t group_first, std::size_t group_last,
                       const double* w_re, const double* w_im, std::size_t first, std::size_t last, double* sums) {
  if (!fits_registers(book)) {
    dot_groups_pairs(book, group_first, group_last, w_re, w_im, first, last, sums);
    return;
  }
  for (std::size_t g = group_first; g < group_last; ++g) {
    dot_group_in_registers(book, g, w_re, w_im, first, last, sums + (g - group_first) * kEntryLanes);
  }
}

// The superposition, 8 components at a time, the table in registers; returns
// the first component it left.
std::size_t superpose_in_registers(const CodebookView& book, const double* weights, std::size_t entry_first,
                                   std::size_t entry_last, std::size_t first, std::size_t last, double* out_re,
                                   double* out_im) {
  const RegisterTable table = load_register_table(book.pairs, book.positions);
  std::size_t i = first;
  for (; i + 8 <= last; i += 8) {
    __m512d acc_re = _mm512_loadu_pd(out_re + i);
    __m512d acc_im = _mm512_loadu_pd(out_im + i);
    for (std::size_t j = entry_first; j < entry_last; ++j) {
      const __m512i k = _mm512_add_epi64(
          _mm512_cvtepu16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(book.rows[j] + i))),
          _mm512_set1_epi64(static_cast<long long>(book.offsets[j])));
      const __m512d w = _mm512_set1_pd(weights[j]);
      acc_re = _mm512_add_pd(acc_re, _mm512_mul_pd(w, _mm512_permutex2var_pd(table.re_lo, k, table.re_hi)));
      acc_im = _mm512_add_pd(acc_im, _mm512_mul_pd(w, _mm512_permutex2var_pd(table.im_lo, k, table.im_hi)));
    }
    _mm512_storeu_pd(out_re + i, acc_re);
    _mm512_storeu_pd(out_im + i, acc_im);
  }
  return i;
}

// Two-position books take the shared mask kernels, small tables the
// registers, the others the pairs.
void superpose_avx512(const CodebookView& book, const double* weights, std::size_t entry_first,
                      std::size_t entry_last, std::size_t first, std::size_t last, double* out_re, double* out_im) {
  if (!fits_registers(book)) {
    superpose_pairs(book, weights, entry_first, entry_last, first, last, out_re, out_im);
    return;
  }
  const std::size_t done = superpose_in_registers(book, weights, entry_first, entry_last, first, last, out_re, out_im);
  superpose_components(book, weights, entry_first, entry_last, done, last, out_re, out_im);
}

constexpr Kernels avx512_kernels() {
  Kernels k = portable_kernels<64>();
  k.random = random_by_float_remainder;
  k.gather_add = gather_add_avx512;
  k.dot_groups = dot_groups_avx512;
  k.dot_groups_select = dot_groups_select_masks;
  k.superpose = superpose_avx512;
  return k;
}

}  // namespace
}  // namespace tesmerine::core
