// The bodies of the kernels of kernels.hpp. Included by one source file per
// instruction set, each compiled with its own target flags; everything here
// has internal linkage so that no variant's code leaks into another's.
// Only intrinsics and plain loops are used (no library templates), for the
// same reason.
#include <cstdlib>
#include <cstring>

#include "kernels.hpp"

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__)
#include <immintrin.h>
#define TESMERINE_KERNELS_AVX512 1
#endif

namespace tesmerine::core {
namespace {

constexpr double kTwoPiValue = 6.283185307179586;
constexpr std::uint64_t kMixMultiplierValue = 0xBF58476D1CE4E5B9ull;
constexpr std::uint64_t kExponent52 = 0x4330000000000000ull;  // the bits of 2^52
constexpr double kTwo52 = 4503599627370496.0;

inline double bits_to_double(std::uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

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

// x mod n without a divide, exact for every 64-bit x and 2 <= n <= 65536.
// With x = hi * 2^32 + lo, x = hi * r + lo (mod n) for r = 2^32 mod n; that
// y is below 2^49, so y, the products below and the remainder are exact
// doubles. The quotient estimate y * (1/n) is within 1/16 of y / n, so its
// nearest integer is the true quotient or one more, and one conditional
// addition of n fixes the remainder.
void random_loop(std::uint16_t* out, std::size_t len, std::uint64_t first, std::uint64_t seed_word,
                 std::uint32_t n) {
#if !TESMERINE_KERNELS_AVX512
  for (std::size_t i = 0; i < len; ++i) {
    // Without 64-bit vector multiplies and conversions the scalar divide is
    // the faster exact remainder.
    std::uint64_t x = seed_word ^ ((first + i) * 0x9E3779B97F4A7C15ull);
    x ^= x >> 29;
    x *= kMixMultiplierValue;
    x ^= x >> 32;
    out[i] = static_cast<std::uint16_t>(x % n);
  }
#else
  constexpr std::uint64_t kStep = 0x9E3779B97F4A7C15ull;
  const double nd = static_cast<double>(n);
  const double inverse = 1.0 / nd;
  const double r = static_cast<double>((std::uint64_t{1} << 32) % n);
  for (std::size_t i = 0; i < len; ++i) {
    std::uint64_t x = seed_word ^ ((first + i) * kStep);
    x ^= x >> 29;
    x *= kMixMultiplierValue;
    x ^= x >> 32;
    const double lo = bits_to_double(kExponent52 | (x & 0xFFFFFFFFull)) - kTwo52;
    const double hi = bits_to_double(kExponent52 | (x >> 32)) - kTwo52;
    const double y = (hi * r) + lo;
    const double q = ((y * inverse) + kTwo52) - kTwo52;
    double rem = y - (q * nd);
    rem = rem < 0.0 ? rem + nd : rem;
    out[i] = static_cast<std::uint16_t>(static_cast<std::int32_t>(rem));
  }
#endif
}

void difference_angles_loop(const std::uint16_t* a, const std::uint16_t* b, double* angles, std::size_t len,
                            double resolution) {
  for (std::size_t i = 0; i < len; ++i) {
    const double diff = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    angles[i] = (diff * kTwoPiValue) / resolution;
  }
}

std::uint16_t gather_add_one(const std::uint16_t* phases, const std::uint64_t* table, std::uint64_t* acc,
                             std::size_t len) {
  std::size_t i = 0;
  std::uint16_t largest = 0;
#if TESMERINE_KERNELS_AVX512
  __m128i top = _mm_setzero_si128();
  for (; i + 8 <= len; i += 8) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(phases + i));
    top = _mm_max_epu16(top, p);
    const __m512i v = _mm512_i32gather_epi64(_mm256_cvtepu16_epi32(p), table, 8);
    _mm512_storeu_si512(acc + i, _mm512_add_epi64(_mm512_loadu_si512(acc + i), v));
  }
  alignas(16) std::uint16_t tops[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(tops), top);
  for (std::uint16_t t : tops) largest = t > largest ? t : largest;
#endif
  for (; i < len; ++i) {
    const std::uint16_t p = phases[i];
    largest = p > largest ? p : largest;
    acc[i] += table[p];
  }
  return largest;
}

// Four items in one pass over acc: one load and one store of the sums for
// four gathers. Integer sums, so the grouping does not change them.
void gather_add_four(const std::uint16_t* const* phases, const std::uint64_t* table, std::uint64_t* acc,
                     std::size_t len, std::uint16_t* largest) {
  const std::uint16_t* p0 = phases[0];
  const std::uint16_t* p1 = phases[1];
  const std::uint16_t* p2 = phases[2];
  const std::uint16_t* p3 = phases[3];
  std::size_t i = 0;
  std::uint16_t tops[4] = {0, 0, 0, 0};
#if TESMERINE_KERNELS_AVX512
  __m128i top0 = _mm_setzero_si128(), top1 = top0, top2 = top0, top3 = top0;
  for (; i + 8 <= len; i += 8) {
    const __m128i q0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p0 + i));
    const __m128i q1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1 + i));
    const __m128i q2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p2 + i));
    const __m128i q3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p3 + i));
    top0 = _mm_max_epu16(top0, q0);
    top1 = _mm_max_epu16(top1, q1);
    top2 = _mm_max_epu16(top2, q2);
    top3 = _mm_max_epu16(top3, q3);
    const __m512i v0 = _mm512_i32gather_epi64(_mm256_cvtepu16_epi32(q0), table, 8);
    const __m512i v1 = _mm512_i32gather_epi64(_mm256_cvtepu16_epi32(q1), table, 8);
    const __m512i v2 = _mm512_i32gather_epi64(_mm256_cvtepu16_epi32(q2), table, 8);
    const __m512i v3 = _mm512_i32gather_epi64(_mm256_cvtepu16_epi32(q3), table, 8);
    const __m512i sum = _mm512_add_epi64(_mm512_add_epi64(v0, v1), _mm512_add_epi64(v2, v3));
    _mm512_storeu_si512(acc + i, _mm512_add_epi64(_mm512_loadu_si512(acc + i), sum));
  }
  const __m128i tops_vector[4] = {top0, top1, top2, top3};
  for (std::size_t k = 0; k < 4; ++k) {
    alignas(16) std::uint16_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), tops_vector[k]);
    for (std::uint16_t t : lanes) tops[k] = t > tops[k] ? t : tops[k];
  }
#endif
  for (; i < len; ++i) {
    const std::uint16_t q0 = p0[i], q1 = p1[i], q2 = p2[i], q3 = p3[i];
    tops[0] = q0 > tops[0] ? q0 : tops[0];
    tops[1] = q1 > tops[1] ? q1 : tops[1];
    tops[2] = q2 > tops[2] ? q2 : tops[2];
    tops[3] = q3 > tops[3] ? q3 : tops[3];
    acc[i] += (table[q0] + table[q1]) + (table[q2] + table[q3]);
  }
  for (std::size_t k = 0; k < 4; ++k) largest[k] = tops[k] > largest[k] ? tops[k] : largest[k];
}

#if TESMERINE_KERNELS_AVX512
// True where the processor has AVX512-VBMI's byte permutes. Test builds
// can turn them off with TESMERINE_KERNELS=avx512-gather.
bool byte_permutes_available() {
  static const bool available = [] {
#ifdef TESMERINE_KERNELS_OVERRIDE
    const char* forced = std::getenv("TESMERINE_KERNELS");
    if (forced != nullptr && std::strcmp(forced, "avx512-gather") == 0) return false;
#endif
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512vbmi") != 0;
  }();
  return available;
}

// The fold for n <= 256 without gathers. Each table word is split into four
// byte tables (low and high bytes of its two biased halves, 256 entries, four
// registers each), looked up 64 positions at a time by byte permutes on the
// phases' low bytes. The looked-up bytes are summed in 16-bit lanes, even and
// odd positions apart, which holds 257 items of at most 255; every 256 items
// (and at the end) the lanes are recombined, low + 256 * high, into the
// packed sums. All sums are exact integers, so the result is the gather
// fold's. A phase of 256 or more (never in a record, as n <= 256) would
// show in `largest`, which the caller checks.
__attribute__((target("avx512vbmi"))) void fold_bytes(const std::uint16_t* const* phases, std::size_t count,
                                                       std::size_t offset, const std::uint64_t* table,
                                                       std::uint32_t n, std::uint64_t* acc, std::size_t len,
                                                       std::uint16_t* largest) {
  alignas(64) std::uint8_t bytes[4][256] = {};
  for (std::uint32_t p = 0; p < n; ++p) {
    for (int b = 0; b < 4; ++b) bytes[b][p] = static_cast<std::uint8_t>(table[p] >> (8 * (b % 2) + 32 * (b / 2)));
  }
  __m512i tables[4][4];
  for (int b = 0; b < 4; ++b) {
    for (int q = 0; q < 4; ++q) tables[b][q] = _mm512_load_si512(bytes[b] + 64 * q);
  }
  // Byte 2w of the two phase registers, for w < 64: the low bytes in order.
  alignas(64) std::uint8_t low_bytes[64];
  for (int w = 0; w < 64; ++w) low_bytes[w] = static_cast<std::uint8_t>(2 * w);
  const __m512i pick_low = _mm512_load_si512(low_bytes);
  const __m512i low_byte_of_word = _mm512_set1_epi16(0x00FF);
  const auto lanes_mask = [](std::size_t lanes) -> __mmask32 {
    return lanes >= 32 ? 0xFFFFFFFFu : static_cast<__mmask32>((std::uint32_t{1} << lanes) - 1);
  };
  // Per block of positions, the 16-bit sums: [byte table][position / 64]
  // [even, odd][32]; each item is read once per block, in order.
  constexpr std::size_t kBlock = 1024;
  constexpr std::size_t kChunk = 256;
  alignas(64) std::uint16_t sums[4][kBlock / 64][2][32];
  for (std::size_t block = 0; block < len; block += kBlock) {
    const std::size_t block_len = len - block < kBlock ? len - block : kBlock;
    const std::size_t slices = (block_len + 63) / 64;
    for (std::size_t first = 0; first < count; first += kChunk) {
      const std::size_t last = count - first < kChunk ? count : first + kChunk;
      std::memset(sums, 0, sizeof sums);
      for (std::size_t k = first; k < last; ++k) {
        const std::uint16_t* p = phases[k] + offset + block;
        __m512i top = _mm512_setzero_si512();
        for (std::size_t slice = 0; slice < slices; ++slice) {
          const std::size_t width = block_len - slice * 64 < 64 ? block_len - slice * 64 : 64;
          const __m512i words0 = _mm512_maskz_loadu_epi16(lanes_mask(width < 32 ? width : 32), p + slice * 64);
          const __m512i words1 =
              _mm512_maskz_loadu_epi16(lanes_mask(width > 32 ? width - 32 : 0), p + slice * 64 + 32);
          top = _mm512_max_epu16(top, _mm512_max_epu16(words0, words1));
          const __m512i index = _mm512_permutex2var_epi8(words0, pick_low, words1);
          const __mmask64 high = _mm512_movepi8_mask(index);
          for (int t = 0; t < 4; ++t) {
            const __m512i low_half = _mm512_permutex2var_epi8(tables[t][0], index, tables[t][1]);
            const __m512i high_half = _mm512_permutex2var_epi8(tables[t][2], index, tables[t][3]);
            const __m512i looked_up = _mm512_mask_blend_epi8(high, low_half, high_half);
            std::uint16_t* even = sums[t][slice][0];
            std::uint16_t* odd = sums[t][slice][1];
            _mm512_store_si512(even, _mm512_add_epi16(_mm512_load_si512(even),
                                                      _mm512_and_si512(looked_up, low_byte_of_word)));
            _mm512_store_si512(odd, _mm512_add_epi16(_mm512_load_si512(odd), _mm512_srli_epi16(looked_up, 8)));
          }
        }
        const std::uint16_t item_top = static_cast<std::uint16_t>(_mm512_reduce_max_epu32(
            _mm512_max_epu32(_mm512_and_si512(top, _mm512_set1_epi32(0xFFFF)), _mm512_srli_epi32(top, 16))));
        largest[k] = item_top > largest[k] ? item_top : largest[k];
      }
      for (std::size_t i = 0; i < block_len; ++i) {
        const std::size_t slice = i / 64, w = (i % 64) / 2, parity = i % 2;
        const std::uint64_t cos_part =
            std::uint64_t{sums[0][slice][parity][w]} + (std::uint64_t{sums[1][slice][parity][w]} << 8);
        const std::uint64_t sin_part =
            std::uint64_t{sums[2][slice][parity][w]} + (std::uint64_t{sums[3][slice][parity][w]} << 8);
        acc[block + i] += cos_part + (sin_part << 32);
      }
    }
  }
}
#endif

void gather_add_loop(const std::uint16_t* const* phases, std::size_t count, std::size_t offset,
                     const std::uint64_t* table, std::uint32_t n, std::uint64_t* acc, std::size_t len,
                     std::uint16_t* largest) {
#if TESMERINE_KERNELS_AVX512
  // The byte fold has a fixed cost per block of positions (clearing and
  // recombining its 16-bit sums) that only many items repay.
  if (n <= 256 && count >= 64 && byte_permutes_available()) {
    fold_bytes(phases, count, offset, table, n, acc, len, largest);
    return;
  }
#else
  (void)n;
#endif
  std::size_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const std::uint16_t* four[4] = {phases[k] + offset, phases[k + 1] + offset, phases[k + 2] + offset,
                                    phases[k + 3] + offset};
    gather_add_four(four, table, acc, len, largest + k);
  }
  for (; k < count; ++k) {
    const std::uint16_t top = gather_add_one(phases[k] + offset, table, acc, len);
    largest[k] = top > largest[k] ? top : largest[k];
  }
}

#if TESMERINE_KERNELS_AVX512
// A cos/sin table of at most 16 entries held in registers, zero-padded, so
// that a permutation reads it instead of a memory gather.
struct RegisterTable {
  __m512d re_lo, re_hi, im_lo, im_hi;
};

inline RegisterTable load_register_table(const double* table_re, const double* table_im, std::size_t table_size) {
  alignas(64) double re[16] = {}, im[16] = {};
  // An empty table may have no storage at all: memcpy from a null pointer is
  // undefined even for zero bytes.
  if (table_size != 0) {
    std::memcpy(re, table_re, table_size * sizeof(double));
    std::memcpy(im, table_im, table_size * sizeof(double));
  }
  return {_mm512_load_pd(re), _mm512_load_pd(re + 8), _mm512_load_pd(im), _mm512_load_pd(im + 8)};
}
#endif

void dot_group_loop(const std::uint16_t* lanes, const std::uint32_t* offsets, const double* table_re,
                    const double* table_im, std::size_t table_size, const double* w_re, const double* w_im,
                    std::size_t dim, double* sums) {
#if TESMERINE_KERNELS_AVX512
  __m512d s = _mm512_setzero_pd();
  if (table_size <= 16) {
    // The whole table sits in two registers: a permutation reads it.
    const RegisterTable table = load_register_table(table_re, table_im, table_size);
    const __m512d re_lo = table.re_lo, re_hi = table.re_hi, im_lo = table.im_lo, im_hi = table.im_hi;
    const __m512i off = _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets)));
    for (std::size_t i = 0; i < dim; ++i) {
      const __m512i k = _mm512_add_epi64(
          _mm512_cvtepu16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes + i * kEntryLanes))), off);
      const __m512d e_re = _mm512_permutex2var_pd(re_lo, k, re_hi);
      const __m512d e_im = _mm512_permutex2var_pd(im_lo, k, im_hi);
      const __m512d term = _mm512_add_pd(_mm512_mul_pd(e_re, _mm512_set1_pd(w_re[i])),
                                         _mm512_mul_pd(e_im, _mm512_set1_pd(w_im[i])));
      s = _mm512_add_pd(s, term);
    }
  } else {
    const __m256i off = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets));
    for (std::size_t i = 0; i < dim; ++i) {
      const __m256i k = _mm256_add_epi32(
          _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes + i * kEntryLanes))), off);
      const __m512d e_re = _mm512_i32gather_pd(k, table_re, 8);
      const __m512d e_im = _mm512_i32gather_pd(k, table_im, 8);
      const __m512d term = _mm512_add_pd(_mm512_mul_pd(e_re, _mm512_set1_pd(w_re[i])),
                                         _mm512_mul_pd(e_im, _mm512_set1_pd(w_im[i])));
      s = _mm512_add_pd(s, term);
    }
  }
  _mm512_storeu_pd(sums, s);
#else
  (void)table_size;
  double s[kEntryLanes] = {};
  for (std::size_t i = 0; i < dim; ++i) {
    const double wr = w_re[i];
    const double wi = w_im[i];
    const std::uint16_t* p = lanes + i * kEntryLanes;
    for (std::size_t l = 0; l < kEntryLanes; ++l) {
      const std::size_t k = std::size_t{offsets[l]} + p[l];
      s[l] = s[l] + ((table_re[k] * wr) + (table_im[k] * wi));
    }
  }
  for (std::size_t l = 0; l < kEntryLanes; ++l) sums[l] = s[l];
#endif
}

void superpose_loop(const std::uint16_t* tiles, const std::uint32_t* offsets, const double* weights,
                    std::size_t count, const double* table_re, const double* table_im, std::size_t table_size,
                    std::size_t dim, double* out_re, double* out_im) {
  std::size_t i = 0;
#if TESMERINE_KERNELS_AVX512
  if (table_size <= 16) {
    const RegisterTable table = load_register_table(table_re, table_im, table_size);
    const __m512d re_lo = table.re_lo, re_hi = table.re_hi, im_lo = table.im_lo, im_hi = table.im_hi;
    for (; i + 8 <= dim; i += 8) {
      __m512d acc_re = _mm512_loadu_pd(out_re + i);
      __m512d acc_im = _mm512_loadu_pd(out_im + i);
      for (std::size_t j = 0; j < count; ++j) {
        const __m512i k = _mm512_add_epi64(
            _mm512_cvtepu16_epi64(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(tiles + tile_position(count, j, i)))),
            _mm512_set1_epi64(static_cast<long long>(offsets[j])));
        const __m512d w = _mm512_set1_pd(weights[j]);
        acc_re = _mm512_add_pd(acc_re, _mm512_mul_pd(w, _mm512_permutex2var_pd(re_lo, k, re_hi)));
        acc_im = _mm512_add_pd(acc_im, _mm512_mul_pd(w, _mm512_permutex2var_pd(im_lo, k, im_hi)));
      }
      _mm512_storeu_pd(out_re + i, acc_re);
      _mm512_storeu_pd(out_im + i, acc_im);
    }
  } else {
    for (; i + 16 <= dim; i += 16) {
      __m512d re0 = _mm512_loadu_pd(out_re + i), re1 = _mm512_loadu_pd(out_re + i + 8);
      __m512d im0 = _mm512_loadu_pd(out_im + i), im1 = _mm512_loadu_pd(out_im + i + 8);
      for (std::size_t j = 0; j < count; ++j) {
        const __m512i k = _mm512_add_epi32(
            _mm512_cvtepu16_epi32(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tiles + tile_position(count, j, i)))),
            _mm512_set1_epi32(static_cast<int>(offsets[j])));
        const __m256i k0 = _mm512_castsi512_si256(k);
        const __m256i k1 = _mm512_extracti64x4_epi64(k, 1);
        const __m512d w = _mm512_set1_pd(weights[j]);
        re0 = _mm512_add_pd(re0, _mm512_mul_pd(w, _mm512_i32gather_pd(k0, table_re, 8)));
        re1 = _mm512_add_pd(re1, _mm512_mul_pd(w, _mm512_i32gather_pd(k1, table_re, 8)));
        im0 = _mm512_add_pd(im0, _mm512_mul_pd(w, _mm512_i32gather_pd(k0, table_im, 8)));
        im1 = _mm512_add_pd(im1, _mm512_mul_pd(w, _mm512_i32gather_pd(k1, table_im, 8)));
      }
      _mm512_storeu_pd(out_re + i, re0);
      _mm512_storeu_pd(out_re + i + 8, re1);
      _mm512_storeu_pd(out_im + i, im0);
      _mm512_storeu_pd(out_im + i + 8, im1);
    }
  }
#else
  (void)table_size;
  // Blocks of components (one tile each), each summed over the entries in
  // order.
  constexpr std::size_t kBlock = kComponentTile;
  for (; i + kBlock <= dim; i += kBlock) {
    double acc_re[kBlock], acc_im[kBlock];
    for (std::size_t c = 0; c < kBlock; ++c) {
      acc_re[c] = out_re[i + c];
      acc_im[c] = out_im[i + c];
    }
    for (std::size_t j = 0; j < count; ++j) {
      const double w = weights[j];
      const std::uint16_t* p = tiles + tile_position(count, j, i);
      const double* tre = table_re + offsets[j];
      const double* tim = table_im + offsets[j];
      for (std::size_t c = 0; c < kBlock; ++c) {
        acc_re[c] = acc_re[c] + (w * tre[p[c]]);
        acc_im[c] = acc_im[c] + (w * tim[p[c]]);
      }
    }
    for (std::size_t c = 0; c < kBlock; ++c) {
      out_re[i + c] = acc_re[c];
      out_im[i + c] = acc_im[c];
    }
  }
#endif
  for (; i < dim; ++i) {
    double acc_re = out_re[i], acc_im = out_im[i];
    for (std::size_t j = 0; j < count; ++j) {
      const std::size_t k = std::size_t{offsets[j]} + tiles[tile_position(count, j, i)];
      acc_re = acc_re + (weights[j] * table_re[k]);
      acc_im = acc_im + (weights[j] * table_im[k]);
    }
    out_re[i] = acc_re;
    out_im[i] = acc_im;
  }
}

// A register's worth of doubles and their masks, in the compiler's generic
// vector extension, so that one source gives vector code for every
// instruction set (8 lanes with AVX-512, 4 with AVX2, 2 otherwise). Each
// operation is the same IEEE operation on each lane; mask ? a : b evaluates
// both a and b in every lane and picks one per lane.
#if TESMERINE_KERNELS_AVX512
constexpr std::size_t kLaneBytes = 64;
#elif defined(__AVX2__)
constexpr std::size_t kLaneBytes = 32;
#else
constexpr std::size_t kLaneBytes = 16;
#endif
typedef double Lanes __attribute__((vector_size(kLaneBytes)));
typedef long long LaneMask __attribute__((vector_size(kLaneBytes)));
typedef std::int32_t LaneSteps __attribute__((vector_size(kLaneBytes / 2)));

// The phase step nearest to an angle, decided without atan2 where that is
// certain to give what the exact path gives; see kernels.hpp for the use.
// scripts/check_phase_steps.cpp compares the two paths on every kind of
// input, near-halfway ones included.
//
// theta' approximates atan2(y, x) and follows its conventions for signed
// zeros: the sign of y, -0 included, is the sign of the result (x = -0 only
// meets an angle of +-pi/2, where its sign does not matter). With a = |x|, b = |y| and z the smaller over the larger, z is
// reduced to w, |w| <= tan(pi/8): w = z, or w = (z - 1) / (z + 1), computed as
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
inline LaneSteps nearest_steps_of(Lanes xi, Lanes yi, double steps_per_radian) {
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

void nearest_steps_loop(const double* y, const double* x, std::int32_t* steps, std::size_t len,
                        double steps_per_radian) {
  constexpr std::size_t kWidth = sizeof(Lanes) / sizeof(double);
  std::size_t start = 0;
  for (; start + kWidth <= len; start += kWidth) {
    Lanes xi, yi;
    std::memcpy(&xi, x + start, sizeof xi);
    std::memcpy(&yi, y + start, sizeof yi);
    const LaneSteps out = nearest_steps_of(xi, yi, steps_per_radian);
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
    const LaneSteps out = nearest_steps_of(xi, yi, steps_per_radian);
    std::memcpy(tail_steps, &out, sizeof out);
    for (std::size_t i = start; i < len; ++i) steps[i] = tail_steps[i - start];
  }
}

void unbind_phasors_loop(double* w_re, double* w_im, const double* e_re, const double* e_im, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) {
    const double r = w_re[i];
    const double m = w_im[i];
    w_re[i] = (r * e_re[i]) + (m * e_im[i]);
    w_im[i] = (m * e_re[i]) - (r * e_im[i]);
  }
}

}  // namespace
}  // namespace tesmerine::core

#define TESMERINE_DEFINE_KERNELS(symbol, label)                                                          \
  namespace tesmerine::core {                                                                            \
  extern const Kernels symbol;                                                                           \
  const Kernels symbol = {label,          bind_loop,      unbind_loop,    random_loop,                   \
                          difference_angles_loop, gather_add_loop, dot_group_loop, superpose_loop,       \
                          unbind_phasors_loop, nearest_steps_loop};                                                          \
  }
