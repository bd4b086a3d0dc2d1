// The portable loops of the kernels, written once. Every variant's source
// includes this header and is compiled with its own target flags, so the
// compiler may widen these loops for that instruction set; a variant then
// lists, slot by slot, either a loop from here or its own override.
//
// Everything here has internal linkage and uses no library templates, so
// that code built for one instruction set never reaches another variant
// through a merged inline copy.
#pragma once

#include <cmath>
#include <cstring>

#include "core/kernels/kernels.hpp"
#include "core/phase_constants.hpp"

namespace tesmerine::core {
namespace {

// Both loops work in 16-bit lanes (twice as many per vector as 32-bit sums)
// and are exact for every n in 2..=65536 and entries below n; n16 is n mod
// 2^16, so 0 stands for 65536, and every subtraction below wraps mod 2^16.
void bind_loop(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, std::size_t len,
               std::uint32_t n) {
  const std::uint16_t n16 = static_cast<std::uint16_t>(n);
  for (std::size_t i = 0; i < len; ++i) {
    // c = n - b lies in [1, n], so a + b >= n exactly when a >= c, and then
    // a - c = a + b - n. Otherwise a + b < n fits. The one c that wraps (0,
    // for n = 65536 and b = 0) gives a - 0 = a, which is also (a + 0) mod n.
    const std::uint16_t c = static_cast<std::uint16_t>(n16 - b[i]);
    out[i] = a[i] >= c ? static_cast<std::uint16_t>(a[i] - c) : static_cast<std::uint16_t>(a[i] + b[i]);
  }
}

void unbind_loop(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, std::size_t len,
                 std::uint32_t n) {
  const std::uint16_t n16 = static_cast<std::uint16_t>(n);
  for (std::size_t i = 0; i < len; ++i) {
    // (n - b + a) mod n is a - b when a >= b, else a - b + n, which lies in
    // [1, n - 1]; mod 2^16 both are the wrapped differences below.
    const std::uint16_t diff = static_cast<std::uint16_t>(a[i] - b[i]);
    out[i] = a[i] >= b[i] ? diff : static_cast<std::uint16_t>(diff + n16);
  }
}

// The generator's word for phase i, before its remainder mod n.
constexpr std::uint64_t mix_counter(std::uint64_t seed_word, std::uint64_t i) {
  std::uint64_t x = seed_word ^ (i * kCounterStep);
  x ^= x >> 29;
  x *= kMixMultiplier;
  x ^= x >> 32;
  return x;
}

// The generator with x mod n taken by multiplications, without a divide;
// exact for every 64-bit x and 2 <= n <= 65536. With x = hi * 2^33 + lo,
// x = y (mod n) for y = hi * r + lo, r = 2^33 mod n; hi < 2^31 and r < 2^16,
// so y < 2^47 + 2^33 < 2^48. Then, with c = ceil(2^64 / n) and
// c = (2^64 + e) / n, 0 <= e < n <= 2^16 (Lemire, Kaser and Kurz, "Faster
// remainder by direct computation", 2019): with y = q * n + rho,
// c * y = q * 2^64 + t, t = (rho * 2^64 + e * y) / n, and e * y < 2^64 gives
// 0 <= t < 2^64, so c * y mod 2^64 = t and floor(t * n / 2^64) =
// floor(rho + e * y / 2^64) = rho, the remainder.
inline std::uint64_t high_product(std::uint64_t a, std::uint64_t b) {
#ifdef __SIZEOF_INT128__
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
#else
  const std::uint64_t a_lo = a & 0xFFFFFFFFull, a_hi = a >> 32, b_lo = b & 0xFFFFFFFFull, b_hi = b >> 32;
  const std::uint64_t low = a_lo * b_lo, mid1 = a_hi * b_lo, mid2 = a_lo * b_hi;
  const std::uint64_t carry = ((low >> 32) + (mid1 & 0xFFFFFFFFull) + (mid2 & 0xFFFFFFFFull)) >> 32;
  return a_hi * b_hi + (mid1 >> 32) + (mid2 >> 32) + carry;
#endif
}

struct MultiplyRemainder {
  std::uint64_t r, c, n;
  explicit MultiplyRemainder(std::uint32_t divisor)
      : r((std::uint64_t{1} << 33) % divisor), c(~std::uint64_t{0} / divisor + 1), n(divisor) {}
  std::uint16_t of(std::uint64_t x) const {
    const std::uint64_t y = (x >> 33) * r + (x & 0x1FFFFFFFFull);
    return static_cast<std::uint16_t>(high_product(c * y, n));
  }
};

void random_by_multiply(std::uint16_t* out, std::uint64_t first, std::size_t len, std::uint64_t seed_word,
                        std::uint32_t n) {
  const MultiplyRemainder remainder(n);
  for (std::size_t i = 0; i < len; ++i) out[i] = remainder.of(mix_counter(seed_word, first + i));
}

// The generator with x mod n taken in doubles, without a divide; exact for
// every 64-bit x and 2 <= n <= 65536. With x = hi * 2^32 + lo, y = hi * r +
// lo, r = 2^32 mod n, is congruent to x mod n and below n * 2^32 (below
// 2^48), an exact double. q = floor(y * (1/n) + 1/(2n)) is floor(y / n):
// with y / n = k + j / n, 0 <= j < n, the two roundings of y * (1/n) (each
// within 2^-53 relative, of a value below 2^32) and that of the addition
// leave the sum within 2^-20 + 2^-21 < 2^-19 of k + (j + 1/2) / n, which
// lies in [k + 1/(2n), k + 1 - 1/(2n)], and 1/(2n) >= 2^-17. So q = k, and
// y - q * n (all exact below 2^53) is the remainder. It pays in vector lanes
// (x86_avx2.cpp takes the same steps in intrinsics); one word at a time,
// random_by_multiply is faster.
[[maybe_unused]] void random_by_float_remainder(std::uint16_t* out, std::uint64_t first, std::size_t len,
                                                std::uint64_t seed_word, std::uint32_t n) {
  const double nd = static_cast<double>(n);
  const double inverse = 1.0 / nd;
  const double half_step = 0.5 / nd;
  const double r = static_cast<double>((std::uint64_t{1} << 32) % n);
  for (std::size_t i = 0; i < len; ++i) {
    const std::uint64_t x = mix_counter(seed_word, first + i);
    const double lo = static_cast<double>(static_cast<std::uint32_t>(x));
    const double hi = static_cast<double>(static_cast<std::uint32_t>(x >> 32));
    const double y = (hi * r) + lo;
    const double q = std::floor((y * inverse) + half_step);
    out[i] = static_cast<std::uint16_t>(static_cast<std::int32_t>(y - (q * nd)));
  }
}

void difference_angles_loop(const std::uint16_t* a, const std::uint16_t* b, double* angles, std::size_t len,
                            double resolution) {
  for (std::size_t i = 0; i < len; ++i) {
    const double diff = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    angles[i] = (diff * kTwoPi) / resolution;
  }
}

// The bundle fold's gathers, from position `start` on: one item, and four
// items in one pass over acc (one load and one store of the sums for four
// gathers; integer sums, so the grouping does not change them). Each returns
// or raises the largest phase read, which the caller checks against n.
std::uint16_t gather_add_one_from(std::size_t start, const std::uint16_t* phases, const std::uint64_t* table,
                                  std::uint64_t* acc, std::size_t len, std::uint16_t largest) {
  for (std::size_t i = start; i < len; ++i) {
    const std::uint16_t p = phases[i];
    largest = p > largest ? p : largest;
    acc[i] += table[p];
  }
  return largest;
}

void gather_add_four_from(std::size_t start, const std::uint16_t* const* four, const std::uint64_t* table,
                          std::uint64_t* acc, std::size_t len, std::uint16_t* tops) {
  const std::uint16_t *p0 = four[0], *p1 = four[1], *p2 = four[2], *p3 = four[3];
  for (std::size_t i = start; i < len; ++i) {
    const std::uint16_t q0 = p0[i], q1 = p1[i], q2 = p2[i], q3 = p3[i];
    tops[0] = q0 > tops[0] ? q0 : tops[0];
    tops[1] = q1 > tops[1] ? q1 : tops[1];
    tops[2] = q2 > tops[2] ? q2 : tops[2];
    tops[3] = q3 > tops[3] ? q3 : tops[3];
    acc[i] += (table[q0] + table[q1]) + (table[q2] + table[q3]);
  }
}

// The same gathers with each item's largest phase found in a pass of its
// own, which vector registers with an unsigned 16-bit maximum (SSE4.1 on)
// take many at a time, so that the gathers carry no comparisons.
std::uint16_t largest_phase(const std::uint16_t* phases, std::size_t len, std::uint16_t largest) {
  for (std::size_t i = 0; i < len; ++i) largest = phases[i] > largest ? phases[i] : largest;
  return largest;
}

[[maybe_unused]] std::uint16_t gather_add_one_apart(const std::uint16_t* phases, const std::uint64_t* table,
                                                    std::uint64_t* acc, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) acc[i] += table[phases[i]];
  return largest_phase(phases, len, 0);
}

[[maybe_unused]] void gather_add_four_apart(const std::uint16_t* const* four, const std::uint64_t* table,
                                            std::uint64_t* acc, std::size_t len, std::uint16_t* tops) {
  const std::uint16_t *p0 = four[0], *p1 = four[1], *p2 = four[2], *p3 = four[3];
  for (std::size_t i = 0; i < len; ++i) acc[i] += (table[p0[i]] + table[p1[i]]) + (table[p2[i]] + table[p3[i]]);
  for (std::size_t q = 0; q < 4; ++q) tops[q] = largest_phase(four[q], len, tops[q]);
}

std::uint16_t gather_add_one(const std::uint16_t* phases, const std::uint64_t* table, std::uint64_t* acc,
                             std::size_t len) {
  return gather_add_one_from(0, phases, table, acc, len, 0);
}

void gather_add_four(const std::uint16_t* const* four, const std::uint64_t* table, std::uint64_t* acc,
                     std::size_t len, std::uint16_t* tops) {
  gather_add_four_from(0, four, table, acc, len, tops);
}

// The fold over the items, four at a time and then one by one, with the
// given one- and four-item gathers.
template <auto AddOne, auto AddFour>
void gather_add_items(const std::uint16_t* const* phases, std::size_t count, std::size_t offset,
                      const std::uint64_t* table, std::uint64_t* acc, std::size_t len, std::uint16_t* largest) {
  std::size_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const std::uint16_t* four[4] = {phases[k] + offset, phases[k + 1] + offset, phases[k + 2] + offset,
                                    phases[k + 3] + offset};
    std::uint16_t tops[4] = {0, 0, 0, 0};
    AddFour(four, table, acc, len, tops);
    for (std::size_t q = 0; q < 4; ++q) largest[k + q] = tops[q] > largest[k + q] ? tops[q] : largest[k + q];
  }
  for (; k < count; ++k) {
    const std::uint16_t top = AddOne(phases[k] + offset, table, acc, len);
    largest[k] = top > largest[k] ? top : largest[k];
  }
}

void gather_add_loop(const std::uint16_t* const* phases, std::size_t count, std::size_t offset,
                     const std::uint64_t* table, std::uint32_t, std::uint64_t* acc, std::size_t len,
                     std::uint16_t* largest) {
  gather_add_items<gather_add_one, gather_add_four>(phases, count, offset, table, acc, len, largest);
}

[[maybe_unused]] void gather_add_apart_loop(const std::uint16_t* const* phases, std::size_t count,
                                            std::size_t offset, const std::uint64_t* table, std::uint32_t,
                                            std::uint64_t* acc, std::size_t len, std::uint16_t* largest) {
  gather_add_items<gather_add_one_apart, gather_add_four_apart>(phases, count, offset, table, acc, len, largest);
}

// The codebook kernels. Each phasor is read as its (re, im) pair of the
// table, book.pairs[2k] and book.pairs[2k + 1].

// Entry j's table position at component i, read from its row.
inline std::size_t row_position(const CodebookView& book, std::size_t j, std::size_t i) {
  return std::size_t{book.offsets[j]} + book.rows[j][i];
}

// A phasor (re, im), or two products, in one register of two doubles: the
// compiler's generic vector extension, which every instruction set with
// 16-byte registers has (SSE2, NEON). Each operation is the same IEEE
// operation on each lane.
typedef double Pair __attribute__((vector_size(16)));

inline Pair load_pair(const double* at) {
  Pair p;
  std::memcpy(&p, at, sizeof p);
  return p;
}

// The dot products of a group from its lanes (byte offsets side by side),
// two entries at a time: each entry's (re, im) times (w_re, w_im), and the
// two products of each added, (re * w_re) + (im * w_im), for both at once.
void dot_group_from_lanes(const CodebookView& book, std::size_t group, const double* w_re, const double* w_im,
                          std::size_t first, std::size_t last, Pair* sums) {
  const std::uint16_t* lanes = book.lanes + book.lane_index(group, first);
  for (std::size_t i = first; i < last; ++i, lanes += kEntryLanes) {
    const Pair w = {w_re[i], w_im[i]};
    for (std::size_t q = 0; q < kEntryLanes / 2; ++q) {
      const Pair a = load_pair(book.pair_at(lanes[2 * q])) * w;
      const Pair b = load_pair(book.pair_at(lanes[2 * q + 1])) * w;
      sums[q] = sums[q] + (Pair{a[0], b[0]} + Pair{a[1], b[1]});
    }
  }
}

// The dot products of a group read from its entries' rows, a tile of
// components at a time, as dot_group_from_lanes forms them (lanes past the
// last entry read position 0 of a row of zeros; their sums are not used).
void dot_group_from_rows(const CodebookView& book, std::size_t group, const double* w_re, const double* w_im,
                         std::size_t first, std::size_t last, Pair* sums) {
  static constexpr std::uint16_t kZeros[kComponentTile] = {};
  const std::size_t base = group * kEntryLanes;
  const double* sections[kEntryLanes];
  for (std::size_t l = 0; l < kEntryLanes; ++l) sections[l] = book.pairs + 2 * std::size_t{book.offsets[base + l]};
  for (std::size_t start = first; start < last; start += kComponentTile) {
    const std::size_t width = last - start < kComponentTile ? last - start : kComponentTile;
    const std::uint16_t* p[kEntryLanes];
    for (std::size_t l = 0; l < kEntryLanes; ++l) p[l] = base + l < book.count ? book.rows[base + l] + start : kZeros;
    for (std::size_t c = 0; c < width; ++c) {
      const Pair w = {w_re[start + c], w_im[start + c]};
      for (std::size_t q = 0; q < kEntryLanes / 2; ++q) {
        const Pair a = load_pair(sections[2 * q] + 2 * std::size_t{p[2 * q][c]}) * w;
        const Pair b = load_pair(sections[2 * q + 1] + 2 * std::size_t{p[2 * q + 1][c]}) * w;
        sums[q] = sums[q] + (Pair{a[0], b[0]} + Pair{a[1], b[1]});
      }
    }
  }
}

void dot_group_loop(const CodebookView& book, std::size_t group, const double* w_re, const double* w_im,
                    std::size_t first, std::size_t last, double* sums) {
  // The sums of entries 2q and 2q + 1 in one register.
  Pair s[kEntryLanes / 2];
  for (std::size_t q = 0; q < kEntryLanes / 2; ++q) s[q] = Pair{sums[2 * q], sums[2 * q + 1]};
  if (book.lanes != nullptr) {
    dot_group_from_lanes(book, group, w_re, w_im, first, last, s);
  } else {
    dot_group_from_rows(book, group, w_re, w_im, first, last, s);
  }
  for (std::size_t q = 0; q < kEntryLanes / 2; ++q) {
    sums[2 * q] = s[q][0];
    sums[2 * q + 1] = s[q][1];
  }
}

void dot_groups_loop(const CodebookView& book, std::size_t group_first, std::size_t group_last, const double* w_re,
                     const double* w_im, std::size_t first, std::size_t last, double* sums) {
  for (std::size_t g = group_first; g < group_last; ++g) {
    dot_group_loop(book, g, w_re, w_im, first, last, sums + (g - group_first) * kEntryLanes);
  }
}

// A two-position book's dot products: each component has only two possible
// terms, term0[i] and term1[i] (those of positions 0 and 1, formed as
// dot_group forms them), and each entry's mask picks one: its top bit
// indexes the two, a load, not a branch.
void dot_group_select_loop(const CodebookView& book, std::size_t group, const double* term0, const double* term1,
                           std::size_t first, std::size_t last, double* sums) {
  Pair s[kEntryLanes / 2];
  for (std::size_t q = 0; q < kEntryLanes / 2; ++q) s[q] = Pair{sums[2 * q], sums[2 * q + 1]};
  const std::uint8_t* masks = book.lane_masks + book.lane_index(group, first);
  for (std::size_t i = first; i < last; ++i, masks += kEntryLanes) {
    const double terms[2] = {term0[i], term1[i]};
    for (std::size_t q = 0; q < kEntryLanes / 2; ++q) {
      s[q] = s[q] + Pair{terms[masks[2 * q] >> 7], terms[masks[2 * q + 1] >> 7]};
    }
  }
  for (std::size_t q = 0; q < kEntryLanes / 2; ++q) {
    sums[2 * q] = s[q][0];
    sums[2 * q + 1] = s[q][1];
  }
}

void dot_groups_select_loop(const CodebookView& book, std::size_t group_first, std::size_t group_last,
                            const double* term0, const double* term1, std::size_t first, std::size_t last,
                            double* sums) {
  for (std::size_t g = group_first; g < group_last; ++g) {
    dot_group_select_loop(book, g, term0, term1, first, last, sums + (g - group_first) * kEntryLanes);
  }
}

// The superposition of components [first, last), one at a time, read from
// the rows, each summed over the entries in order.
void superpose_components(const CodebookView& book, const double* weights, std::size_t entry_first,
                          std::size_t entry_last, std::size_t first, std::size_t last, double* out_re,
                          double* out_im) {
  for (std::size_t i = first; i < last; ++i) {
    double acc_re = out_re[i], acc_im = out_im[i];
    for (std::size_t j = entry_first; j < entry_last; ++j) {
      const double* pair = book.pairs + 2 * row_position(book, j, i);
      acc_re = acc_re + (weights[j] * pair[0]);
      acc_im = acc_im + (weights[j] * pair[1]);
    }
    out_re[i] = acc_re;
    out_im[i] = acc_im;
  }
}

// A tile's (re, im) sums, one register a component, read from the outputs
// and written back.
void load_tile_sums(const double* out_re, const double* out_im, std::size_t i, Pair* acc) {
  for (std::size_t c = 0; c < kComponentTile; ++c) acc[c] = Pair{out_re[i + c], out_im[i + c]};
}

void store_tile_sums(const Pair* acc, std::size_t i, double* out_re, double* out_im) {
  for (std::size_t c = 0; c < kComponentTile; ++c) {
    out_re[i + c] = acc[c][0];
    out_im[i + c] = acc[c][1];
  }
}

// A tile of a two-position book: each entry's two possible products per
// component, (weight * re, weight * im) of positions 0 and 1, formed once,
// and each component's mask picks one (its top bit indexes them: a load,
// not a branch), its (re, im) sums in one register.
void superpose_tile_from_masks(const CodebookView& book, const double* weights, std::size_t entry_first,
                               std::size_t entry_last, std::size_t i, double* out_re, double* out_im) {
  Pair acc[kComponentTile];
  load_tile_sums(out_re, out_im, i, acc);
  const std::uint8_t* masks = book.tile_masks + book.tile_index(entry_first, i);
  for (std::size_t j = entry_first; j < entry_last; ++j, masks += kComponentTile) {
    const Pair w = {weights[j], weights[j]};
    const Pair products[2] = {w * load_pair(book.pairs), w * load_pair(book.pairs + 2)};
    for (std::size_t c = 0; c < kComponentTile; ++c) acc[c] = acc[c] + products[masks[c] >> 7];
  }
  store_tile_sums(acc, i, out_re, out_im);
}

// A tile read through its byte offsets, each component's (re, im) sums in
// one register: weight * (re, im) added for each entry in order.
void superpose_tile_from_offsets(const CodebookView& book, const double* weights, std::size_t entry_first,
                                 std::size_t entry_last, std::size_t i, double* out_re, double* out_im) {
  Pair acc[kComponentTile];
  load_tile_sums(out_re, out_im, i, acc);
  const std::uint16_t* tile = book.tiles + book.tile_index(entry_first, i);
  for (std::size_t j = entry_first; j < entry_last; ++j, tile += kComponentTile) {
    const Pair w = {weights[j], weights[j]};
    for (std::size_t c = 0; c < kComponentTile; ++c) acc[c] = acc[c] + (w * load_pair(book.pair_at(tile[c])));
  }
  store_tile_sums(acc, i, out_re, out_im);
}

// The same read from the rows, where the book has no tiles.
void superpose_tile_from_rows(const CodebookView& book, const double* weights, std::size_t entry_first,
                              std::size_t entry_last, std::size_t i, double* out_re, double* out_im) {
  Pair acc[kComponentTile];
  load_tile_sums(out_re, out_im, i, acc);
  for (std::size_t j = entry_first; j < entry_last; ++j) {
    const Pair w = {weights[j], weights[j]};
    const std::uint16_t* row = book.rows[j] + i;
    const double* section = book.pairs + 2 * std::size_t{book.offsets[j]};
    for (std::size_t c = 0; c < kComponentTile; ++c) {
      acc[c] = acc[c] + (w * load_pair(section + 2 * std::size_t{row[c]}));
    }
  }
  store_tile_sums(acc, i, out_re, out_im);
}

// The whole tiles of [first, last), from the tiles or masks where the book
// has them, else from the rows; returns the first component it left.
std::size_t superpose_whole_tiles(const CodebookView& book, const double* weights, std::size_t entry_first,
                                  std::size_t entry_last, std::size_t first, std::size_t last, double* out_re,
                                  double* out_im) {
  const bool tiled = book.tiles != nullptr || book.tile_masks != nullptr;
  const std::size_t whole = tiled ? book.whole_tiles() : last / kComponentTile * kComponentTile;
  const std::size_t end = last < whole ? last : whole;
  std::size_t i = first;
  for (; i < end; i += kComponentTile) {
    if (book.tile_masks != nullptr) {
      superpose_tile_from_masks(book, weights, entry_first, entry_last, i, out_re, out_im);
    } else if (book.tiles != nullptr) {
      superpose_tile_from_offsets(book, weights, entry_first, entry_last, i, out_re, out_im);
    } else {
      superpose_tile_from_rows(book, weights, entry_first, entry_last, i, out_re, out_im);
    }
  }
  return i;
}

void superpose_loop(const CodebookView& book, const double* weights, std::size_t entry_first,
                    std::size_t entry_last, std::size_t first, std::size_t last, double* out_re, double* out_im) {
  const std::size_t done = superpose_whole_tiles(book, weights, entry_first, entry_last, first, last, out_re, out_im);
  superpose_components(book, weights, entry_first, entry_last, done, last, out_re, out_im);
}

void unbind_phasors_loop(double* w_re, double* w_im, const double* e_re, const double* e_im, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) {
    const double r = w_re[i];
    const double m = w_im[i];
    w_re[i] = (r * e_re[i]) + (m * e_im[i]);
    w_im[i] = (m * e_re[i]) - (r * e_im[i]);
  }
}

// A register's worth of doubles and their masks (kLaneBytes wide), in the
// compiler's generic vector extension, so that one source gives vector code
// for every instruction set: each variant picks the width of its registers.
// Each operation is the same IEEE operation on each lane; mask ? a : b
// evaluates both a and b in every lane and picks one per lane.
template <std::size_t kLaneBytes>
struct LaneTypes {
  typedef double Lanes __attribute__((vector_size(kLaneBytes)));
  typedef long long LaneMask __attribute__((vector_size(kLaneBytes)));
  typedef std::int32_t LaneSteps __attribute__((vector_size(kLaneBytes / 2)));
};

// The phase step nearest to an angle, decided without atan2 where that is
// certain to give what the exact path gives; see kernels.hpp for the use.
// tests/core/check_phase_steps.cpp compares the two paths on every kind of
// input, near-halfway ones included.
//
// theta' approximates atan2(y, x) and follows its conventions for signed
// zeros: the sign of y, -0 included, is the sign of the result (x = -0 only
// meets an angle of +-pi/2, where its sign does not matter). With a = |x|,
// b = |y| and z the smaller over the larger, z is reduced to w,
// |w| <= tan(pi/8): w = z, or w = (z - 1) / (z + 1), computed as
// (small - big) / (small + big), plus pi/4 when z exceeds tan(pi/8). atan(w)
// is the Taylor series w - w^3/3 + ... - w^27/27 (Horner in w^2); then the
// octant and quadrant are restored with pi/2 - ., pi - . and the sign.
// Error of theta' against the true angle, in radians:
//   - truncation: the series alternates with decreasing terms, so its error
//     is below the first term left out, 0.41422^29 / 29 < 2.8e-13;
//   - rounding: about 40 double operations on values below 4, each off by
//     at most 2^-53 relative (or 2^-1075 absolute for subnormals), with
//     every Horner step scaling earlier errors by w^2 <= 0.172: below 1e-13.
//   So |theta' - theta| < 4e-13 (the largest seen over 10^8 random points
//   against long-double atan2 is 2.4e-13); the analysis below uses 1e-12.
// t' = theta' * (n / 2pi) is then within 1e-12 * 10430.4 + 1e-11 < 2e-8 of
// the exact t for every n <= 65536, and the libm path's t (atan2 within a
// few ulps, 2pi as a double, two roundings) is within 2e-11 of it. So when
// t' is more than kStepMargin = 2^-12 (over 10^4 times the sum of both
// bounds) away from every half-integer, both round to the same integer and
// that integer is the answer. Otherwise the step is left undecided and the
// caller takes the exact path; so it is for x = y = 0, for NaN or infinite
// inputs, and for inputs of 2^1000 or more, where small + big could
// overflow.
template <std::size_t kLaneBytes>
inline typename LaneTypes<kLaneBytes>::LaneSteps nearest_steps_of(typename LaneTypes<kLaneBytes>::Lanes xi,
                                                                  typename LaneTypes<kLaneBytes>::Lanes yi,
                                                                  double steps_per_radian) {
  using Lanes = typename LaneTypes<kLaneBytes>::Lanes;
  using LaneMask = typename LaneTypes<kLaneBytes>::LaneMask;
  using LaneSteps = typename LaneTypes<kLaneBytes>::LaneSteps;
  constexpr double kTanPi8 = 0.41421356237309503;
  constexpr double kPi4 = 0.7853981633974483;
  constexpr double kPi2 = 1.5707963267948966;
  constexpr double kPi = 3.141592653589793;
  constexpr double kRoundShift = 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to an integer
  constexpr double kStepMargin = 1.0 / 4096.0;
  constexpr double kDecidedBelow = 0.5 - kStepMargin;
  constexpr double kLargest = 0x1p1000;
  const LaneMask sign_bit = LaneMask{} + static_cast<long long>(0x8000000000000000ull);
  const Lanes zero = Lanes{};
  const Lanes a = reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(xi) & ~sign_bit);
  const Lanes b = reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(yi) & ~sign_bit);
  const LaneMask steep = b > a;
  const Lanes big = (steep ? b : a);
  const Lanes small = (steep ? a : b);
  const LaneMask upper = small > kTanPi8 * big;
  // small - 0.0 and big + 0.0 are small and big (neither is -0).
  const Lanes w = (small - (upper ? big : zero)) / (big + (upper ? small : zero));
  const Lanes w2 = w * w;
  Lanes p = zero + -0.037037037037037035;
  p = p * w2 + 0.04;
  p = p * w2 + -0.043478260869565216;
  p = p * w2 + 0.047619047619047616;
  p = p * w2 + -0.05263157894736842;
  p = p * w2 + 0.058823529411764705;
  p = p * w2 + -0.06666666666666667;
  p = p * w2 + 0.07692307692307693;
  p = p * w2 + -0.09090909090909091;
  p = p * w2 + 0.1111111111111111;
  p = p * w2 + -0.14285714285714285;
  p = p * w2 + 0.2;
  p = p * w2 + -0.3333333333333333;
  const Lanes atan_w = w + (w * w2) * p;
  // Adding 0.0 leaves a value that is not -0 unchanged (none here is), and
  // c + (-v) is c - v.
  const Lanes octant = (upper ? zero + kPi4 : zero) + atan_w;  // atan(small / big), in [0, pi/4]
  const Lanes quadrant = (steep ? zero + kPi2 : zero) + (steep ? -octant : octant);  // atan(b / a)
  const LaneMask left = xi < zero;
  const Lanes half = (left ? zero + kPi : zero) + (left ? -quadrant : quadrant);
  // The sign of y, -0 included.
  const Lanes angle = reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(half) |
                                              (reinterpret_cast<LaneMask>(yi) & sign_bit));
  const Lanes t = angle * steps_per_radian;
  const Lanes nearest = (t + kRoundShift) - kRoundShift;
  const Lanes off = reinterpret_cast<Lanes>(reinterpret_cast<LaneMask>(t - nearest) & ~sign_bit);
  // Both comparisons are false for NaN.
  const LaneMask decided = (off < kDecidedBelow) & (big < kLargest);
  const Lanes chosen = decided ? nearest : zero + static_cast<double>(kUndecidedStep);
  return __builtin_convertvector(chosen, LaneSteps);
}

template <std::size_t kLaneBytes>
void nearest_steps_loop(const double* y, const double* x, std::int32_t* steps, std::size_t len,
                        double steps_per_radian) {
  using Lanes = typename LaneTypes<kLaneBytes>::Lanes;
  using LaneSteps = typename LaneTypes<kLaneBytes>::LaneSteps;
  constexpr std::size_t kWidth = sizeof(Lanes) / sizeof(double);
  std::size_t start = 0;
  for (; start + kWidth <= len; start += kWidth) {
    Lanes xi, yi;
    std::memcpy(&xi, x + start, sizeof xi);
    std::memcpy(&yi, y + start, sizeof yi);
    const LaneSteps out = nearest_steps_of<kLaneBytes>(xi, yi, steps_per_radian);
    std::memcpy(steps + start, &out, sizeof out);
  }
  if (start < len) {
    // The last few, padded with x = y = 0, which is never decided.
    double tail_x[kWidth] = {}, tail_y[kWidth] = {};
    std::int32_t tail_steps[kWidth];
    for (std::size_t i = start; i < len; ++i) {
      tail_x[i - start] = x[i];
      tail_y[i - start] = y[i];
    }
    Lanes xi, yi;
    std::memcpy(&xi, tail_x, sizeof xi);
    std::memcpy(&yi, tail_y, sizeof yi);
    const LaneSteps out = nearest_steps_of<kLaneBytes>(xi, yi, steps_per_radian);
    std::memcpy(tail_steps, &out, sizeof out);
    for (std::size_t i = start; i < len; ++i) steps[i] = tail_steps[i - start];
  }
}

// The kernels record made of the portable loops alone, with vector lanes of
// kLaneBytes for the phase steps; a variant copies it and replaces the
// slots it overrides.
template <std::size_t kLaneBytes>
constexpr Kernels portable_kernels() {
  Kernels k{};
  k.bind = bind_loop;
  k.unbind = unbind_loop;
  k.random = random_by_multiply;
  k.difference_angles = difference_angles_loop;
  k.gather_add = gather_add_loop;
  k.dot_groups = dot_groups_loop;
  k.dot_groups_select = dot_groups_select_loop;
  k.superpose = superpose_loop;
  k.unbind_phasors = unbind_phasors_loop;
  k.nearest_steps = nearest_steps_loop<kLaneBytes>;
  return k;
}

}  // namespace
}  // namespace tesmerine::core
