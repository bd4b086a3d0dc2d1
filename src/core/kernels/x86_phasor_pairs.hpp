// The resonator's codebook kernels on 32-byte registers (AVX2): each phasor
// read as one (re, im) pair of the table, the positions from the book's
// byte layouts where it has them (one sequential stream each), and the
// two-position books picked by their byte masks. Included by the x86
// variants that use them, each compiling it with its own flags.
#pragma once

#include <cstring>

#include "core/kernels/portable_loops.hpp"
#include "core/kernels/x86_intrinsics.hpp"

namespace tesmerine::core {
namespace {

// The phasors at two byte offsets of the table, a and b, in one register:
// re_a, im_a, re_b, im_b.
inline __m256d two_pairs(const double* pairs, std::size_t a, std::size_t b) {
  const char* base = reinterpret_cast<const char*>(pairs);
  return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(reinterpret_cast<const double*>(base + a))),
                              _mm_loadu_pd(reinterpret_cast<const double*>(base + b)), 1);
}

// The byte offset of position k.
inline std::size_t offset_of(std::size_t k) { return 16 * k; }

// (w_re, w_im, w_re, w_im) of component i.
inline __m256d weight_pairs(const double* w_re, const double* w_im, std::size_t i) {
  return _mm256_blend_pd(_mm256_broadcast_sd(w_re + i), _mm256_broadcast_sd(w_im + i), 0xA);
}

// The terms of four entries from the products of two registers of two
// entries each (re * w_re, im * w_im, ...): (re * w_re) + (im * w_im) of
// entries 0, 2, 1 and 3, in that lane order.
inline __m256d four_terms(__m256d products01, __m256d products23) {
  return _mm256_add_pd(_mm256_unpacklo_pd(products01, products23), _mm256_unpackhi_pd(products01, products23));
}

// The group's sums in the lane order of four_terms (0, 2, 1, 3 | 4, 6, 5, 7)
// and back.
struct GroupSums {
  __m256d low, high;
  explicit GroupSums(const double* sums)
      : low(_mm256_setr_pd(sums[0], sums[2], sums[1], sums[3])),
        high(_mm256_setr_pd(sums[4], sums[6], sums[5], sums[7])) {}
  void store(double* sums) const {
    alignas(32) double l[4], h[4];
    _mm256_store_pd(l, low);
    _mm256_store_pd(h, high);
    const double ordered[kEntryLanes] = {l[0], l[2], l[1], l[3], h[0], h[2], h[1], h[3]};
    for (std::size_t k = 0; k < kEntryLanes; ++k) sums[k] = ordered[k];
  }
};

// Each entry's phasor is one load (k holds byte offsets); multiplied by
// (w_re, w_im, w_re, w_im) it gives both products of two entries' terms, and
// the pairs of products are added lane by lane: each entry's term added to
// its own lane's sum in component order.
inline void add_group_terms(GroupSums& s, const double* pairs, const std::size_t* k, __m256d w) {
  const __m256d m0 = _mm256_mul_pd(two_pairs(pairs, k[0], k[1]), w);
  const __m256d m1 = _mm256_mul_pd(two_pairs(pairs, k[2], k[3]), w);
  const __m256d m2 = _mm256_mul_pd(two_pairs(pairs, k[4], k[5]), w);
  const __m256d m3 = _mm256_mul_pd(two_pairs(pairs, k[6], k[7]), w);
  s.low = _mm256_add_pd(s.low, four_terms(m0, m1));
  s.high = _mm256_add_pd(s.high, four_terms(m2, m3));
}

// The four byte offsets of a 64-bit word of 16-bit offsets: extracted with
// shifts rather than loaded one by one (loads are what these loops run out
// of first).
inline void unpack_offsets(const std::uint16_t* from, std::size_t* k) {
  std::uint64_t word;
  std::memcpy(&word, from, sizeof word);
  k[0] = word & 0xFFFF;
  k[1] = (word >> 16) & 0xFFFF;
  k[2] = (word >> 32) & 0xFFFF;
  k[3] = word >> 48;
}

void dot_group_pairs(const CodebookView& book, std::size_t group, const double* w_re, const double* w_im,
                     std::size_t first, std::size_t last, double* sums) {
  GroupSums s(sums);
  const double* pairs = book.pairs;
  if (book.lanes != nullptr) {
    const std::uint16_t* lanes = book.lanes + book.lane_index(group, first);
    for (std::size_t i = first; i < last; ++i, lanes += kEntryLanes) {
      std::size_t k[kEntryLanes];
      unpack_offsets(lanes, k);
      unpack_offsets(lanes + 4, k + 4);
      add_group_terms(s, pairs, k, weight_pairs(w_re, w_im, i));
    }
  } else {
    // The rows, a tile of components at a time; lanes past the last entry
    // read position 0 of a row of zeros.
    static constexpr std::uint16_t kZeros[kComponentTile] = {};
    const std::size_t base = group * kEntryLanes;
    std::size_t off[kEntryLanes];
    for (std::size_t l = 0; l < kEntryLanes; ++l) off[l] = base + l < book.count ? book.offsets[base + l] : 0;
    for (std::size_t start = first; start < last; start += kComponentTile) {
      const std::size_t width = last - start < kComponentTile ? last - start : kComponentTile;
      const std::uint16_t* p[kEntryLanes];
      for (std::size_t l = 0; l < kEntryLanes; ++l) p[l] = base + l < book.count ? book.rows[base + l] + start : kZeros;
      for (std::size_t c = 0; c < width; ++c) {
        const __m256d w = weight_pairs(w_re, w_im, start + c);
        const __m256d m0 = _mm256_mul_pd(two_pairs(pairs, offset_of(off[0] + p[0][c]), offset_of(off[1] + p[1][c])), w);
        const __m256d m1 = _mm256_mul_pd(two_pairs(pairs, offset_of(off[2] + p[2][c]), offset_of(off[3] + p[3][c])), w);
        const __m256d m2 = _mm256_mul_pd(two_pairs(pairs, offset_of(off[4] + p[4][c]), offset_of(off[5] + p[5][c])), w);
        const __m256d m3 = _mm256_mul_pd(two_pairs(pairs, offset_of(off[6] + p[6][c]), offset_of(off[7] + p[7][c])), w);
        // (re * w_re) + (im * w_im) of entries 0, 2, 1, 3 (4, 6, 5, 7), as
        // four_terms adds them, in one instruction.
        s.low = _mm256_add_pd(s.low, _mm256_hadd_pd(m0, m1));
        s.high = _mm256_add_pd(s.high, _mm256_hadd_pd(m2, m3));
      }
    }
  }
  s.store(sums);
}

// A two-position book: each mask byte, sign-extended to a lane, picks
// term1 over term0.
void dot_group_select_masks(const CodebookView& book, std::size_t group, const double* term0, const double* term1,
                            std::size_t first, std::size_t last, double* sums) {
  __m256d s0 = _mm256_loadu_pd(sums), s1 = _mm256_loadu_pd(sums + 4);
  const std::uint8_t* masks = book.lane_masks + book.lane_index(group, first);
  for (std::size_t i = first; i < last; ++i, masks += kEntryLanes) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(masks));
    const __m256d mask0 = _mm256_castsi256_pd(_mm256_cvtepi8_epi64(bytes));
    const __m256d mask1 = _mm256_castsi256_pd(_mm256_cvtepi8_epi64(_mm_srli_si128(bytes, 4)));
    const __m256d t0 = _mm256_broadcast_sd(term0 + i);
    const __m256d t1 = _mm256_broadcast_sd(term1 + i);
    s0 = _mm256_add_pd(s0, _mm256_blendv_pd(t0, t1, mask0));
    s1 = _mm256_add_pd(s1, _mm256_blendv_pd(t0, t1, mask1));
  }
  _mm256_storeu_pd(sums, s0);
  _mm256_storeu_pd(sums + 4, s1);
}

// Two groups side by side from their lanes: one w per component for both,
// and four independent sums in flight instead of two.
void dot_two_groups_pairs(const CodebookView& book, std::size_t group, const double* w_re, const double* w_im,
                          std::size_t first, std::size_t last, double* sums) {
  GroupSums a(sums), b(sums + kEntryLanes);
  const double* pairs = book.pairs;
  const std::uint16_t* lanes_a = book.lanes + book.lane_index(group, first);
  const std::uint16_t* lanes_b = book.lanes + book.lane_index(group + 1, first);
  for (std::size_t i = first; i < last; ++i, lanes_a += kEntryLanes, lanes_b += kEntryLanes) {
    const __m256d w = weight_pairs(w_re, w_im, i);
    std::size_t k[kEntryLanes];
    unpack_offsets(lanes_a, k);
    unpack_offsets(lanes_a + 4, k + 4);
    add_group_terms(a, pairs, k, w);
    unpack_offsets(lanes_b, k);
    unpack_offsets(lanes_b + 4, k + 4);
    add_group_terms(b, pairs, k, w);
  }
  a.store(sums);
  b.store(sums + kEntryLanes);
}

void dot_groups_pairs(const CodebookView& book, std::size_t group_first, std::size_t group_last, const double* w_re,
                      const double* w_im, std::size_t first, std::size_t last, double* sums) {
  std::size_t g = group_first;
  for (; book.lanes != nullptr && g + 2 <= group_last; g += 2) {
    dot_two_groups_pairs(book, g, w_re, w_im, first, last, sums + (g - group_first) * kEntryLanes);
  }
  for (; g < group_last; ++g) dot_group_pairs(book, g, w_re, w_im, first, last, sums + (g - group_first) * kEntryLanes);
}

// Four groups side by side: eight independent sums in flight, so that the
// additions, not their latency, set the pace.
void dot_four_groups_select(const CodebookView& book, std::size_t group, const double* term0, const double* term1,
                            std::size_t first, std::size_t last, double* sums) {
  constexpr std::size_t kGroups = 4;
  __m256d s[2 * kGroups];
  const std::uint8_t* masks[kGroups];
  for (std::size_t q = 0; q < kGroups; ++q) {
    s[2 * q] = _mm256_loadu_pd(sums + q * kEntryLanes);
    s[2 * q + 1] = _mm256_loadu_pd(sums + q * kEntryLanes + 4);
    masks[q] = book.lane_masks + book.lane_index(group + q, first);
  }
  for (std::size_t i = first; i < last; ++i) {
    const __m256d t0 = _mm256_broadcast_sd(term0 + i);
    const __m256d t1 = _mm256_broadcast_sd(term1 + i);
    for (std::size_t q = 0; q < kGroups; ++q) {
      const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(masks[q]));
      masks[q] += kEntryLanes;
      const __m256d mask0 = _mm256_castsi256_pd(_mm256_cvtepi8_epi64(bytes));
      const __m256d mask1 = _mm256_castsi256_pd(_mm256_cvtepi8_epi64(_mm_srli_si128(bytes, 4)));
      s[2 * q] = _mm256_add_pd(s[2 * q], _mm256_blendv_pd(t0, t1, mask0));
      s[2 * q + 1] = _mm256_add_pd(s[2 * q + 1], _mm256_blendv_pd(t0, t1, mask1));
    }
  }
  for (std::size_t q = 0; q < kGroups; ++q) {
    _mm256_storeu_pd(sums + q * kEntryLanes, s[2 * q]);
    _mm256_storeu_pd(sums + q * kEntryLanes + 4, s[2 * q + 1]);
  }
}

void dot_groups_select_masks(const CodebookView& book, std::size_t group_first, std::size_t group_last,
                             const double* term0, const double* term1, std::size_t first, std::size_t last,
                             double* sums) {
  std::size_t g = group_first;
  for (; g + 4 <= group_last; g += 4) {
    dot_four_groups_select(book, g, term0, term1, first, last, sums + (g - group_first) * kEntryLanes);
  }
  for (; g < group_last; ++g) {
    dot_group_select_masks(book, g, term0, term1, first, last, sums + (g - group_first) * kEntryLanes);
  }
}

// The (re, im) sums of a tile's components, two components a register,
// read from the outputs and written back.
struct TileSums {
  static constexpr std::size_t kRegisters = kComponentTile / 2;
  __m256d pairs[kRegisters];
  TileSums(const double* out_re, const double* out_im, std::size_t i) {
    for (std::size_t r = 0; r < kRegisters; ++r) {
      const std::size_t c = i + 2 * r;
      pairs[r] = _mm256_setr_pd(out_re[c], out_im[c], out_re[c + 1], out_im[c + 1]);
    }
  }
  void store(double* out_re, double* out_im, std::size_t i) const {
    for (std::size_t r = 0; r < kRegisters; ++r) {
      alignas(32) double v[4];
      _mm256_store_pd(v, pairs[r]);
      const std::size_t c = i + 2 * r;
      out_re[c] = v[0];
      out_im[c] = v[1];
      out_re[c + 1] = v[2];
      out_im[c + 1] = v[3];
    }
  }
};

// The superposition of one tile whose positions come as bytes: each
// register holds the (re, im) sums of two components, and each entry adds
// weight * (re, im) of its phasor, read with one load, entries in order.
void superpose_tile_pairs(const CodebookView& book, const double* weights, std::size_t entry_first,
                          std::size_t entry_last, std::size_t i, double* out_re, double* out_im) {
  TileSums acc(out_re, out_im, i);
  const std::uint16_t* p = book.tiles + book.tile_index(entry_first, i);
  for (std::size_t j = entry_first; j < entry_last; ++j, p += kComponentTile) {
    const __m256d w = _mm256_set1_pd(weights[j]);
    std::size_t k[kComponentTile];
    for (std::size_t q = 0; q < kComponentTile; q += 4) unpack_offsets(p + q, k + q);
    for (std::size_t r = 0; r < TileSums::kRegisters; ++r) {
      acc.pairs[r] = _mm256_add_pd(acc.pairs[r], _mm256_mul_pd(w, two_pairs(book.pairs, k[2 * r], k[2 * r + 1])));
    }
  }
  acc.store(out_re, out_im, i);
}

// The same for a two-position book: each entry's two possible products
// (weight * re and weight * im of positions 0 and 1) are formed once, and
// each component's byte mask picks one; re and im sums in registers of
// their own, four components each.
void superpose_tile_select(const CodebookView& book, const double* weights, std::size_t entry_first,
                           std::size_t entry_last, std::size_t i, double* out_re, double* out_im) {
  constexpr std::size_t kRegisters = kComponentTile / 4;
  __m256d acc_re[kRegisters], acc_im[kRegisters];
  for (std::size_t r = 0; r < kRegisters; ++r) {
    acc_re[r] = _mm256_loadu_pd(out_re + i + 4 * r);
    acc_im[r] = _mm256_loadu_pd(out_im + i + 4 * r);
  }
  const double* pairs = book.pairs;
  const std::uint8_t* p = book.tile_masks + book.tile_index(entry_first, i);
  for (std::size_t j = entry_first; j < entry_last; ++j, p += kComponentTile) {
    const double w = weights[j];
    const __m256d re0 = _mm256_set1_pd(w * pairs[0]), im0 = _mm256_set1_pd(w * pairs[1]);
    const __m256d re1 = _mm256_set1_pd(w * pairs[2]), im1 = _mm256_set1_pd(w * pairs[3]);
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m256d mask[kRegisters] = {_mm256_castsi256_pd(_mm256_cvtepi8_epi64(bytes)),
                                      _mm256_castsi256_pd(_mm256_cvtepi8_epi64(_mm_srli_si128(bytes, 4))),
                                      _mm256_castsi256_pd(_mm256_cvtepi8_epi64(_mm_srli_si128(bytes, 8))),
                                      _mm256_castsi256_pd(_mm256_cvtepi8_epi64(_mm_srli_si128(bytes, 12)))};
    for (std::size_t r = 0; r < kRegisters; ++r) {
      acc_re[r] = _mm256_add_pd(acc_re[r], _mm256_blendv_pd(re0, re1, mask[r]));
      acc_im[r] = _mm256_add_pd(acc_im[r], _mm256_blendv_pd(im0, im1, mask[r]));
    }
  }
  for (std::size_t r = 0; r < kRegisters; ++r) {
    _mm256_storeu_pd(out_re + i + 4 * r, acc_re[r]);
    _mm256_storeu_pd(out_im + i + 4 * r, acc_im[r]);
  }
}

// The same read from the rows, where the book has no byte layout.
void superpose_tile_rows(const CodebookView& book, const double* weights, std::size_t entry_first,
                         std::size_t entry_last, std::size_t i, double* out_re, double* out_im) {
  TileSums acc(out_re, out_im, i);
  for (std::size_t j = entry_first; j < entry_last; ++j) {
    const __m256d w = _mm256_set1_pd(weights[j]);
    const std::uint16_t* p = book.rows[j] + i;
    const std::size_t off = book.offsets[j];
    for (std::size_t r = 0; r < TileSums::kRegisters; ++r) {
      const __m256d phasors = two_pairs(book.pairs, offset_of(off + p[2 * r]), offset_of(off + p[2 * r + 1]));
      acc.pairs[r] = _mm256_add_pd(acc.pairs[r], _mm256_mul_pd(w, phasors));
    }
  }
  acc.store(out_re, out_im, i);
}

// A tile at a time from the byte layout (or the rows), then the components
// after the last whole tile one at a time.
void superpose_pairs(const CodebookView& book, const double* weights, std::size_t entry_first,
                     std::size_t entry_last, std::size_t first, std::size_t last, double* out_re, double* out_im) {
  const bool tiled = book.tiles != nullptr || book.tile_masks != nullptr;
  const std::size_t whole = tiled ? book.whole_tiles() : last / kComponentTile * kComponentTile;
  const std::size_t end = last < whole ? last : whole;
  std::size_t i = first;
  for (; i + kComponentTile <= end; i += kComponentTile) {
    if (book.tile_masks != nullptr) {
      superpose_tile_select(book, weights, entry_first, entry_last, i, out_re, out_im);
    } else if (book.tiles != nullptr) {
      superpose_tile_pairs(book, weights, entry_first, entry_last, i, out_re, out_im);
    } else {
      superpose_tile_rows(book, weights, entry_first, entry_last, i, out_re, out_im);
    }
  }
  superpose_components(book, weights, entry_first, entry_last, i, last, out_re, out_im);
}

}  // namespace
}  // namespace tesmerine::core
