// The bodies of the kernels of kernels.hpp. Included by one source file per
// instruction set, each compiled with its own target flags; everything here
// has internal linkage so that no variant's code leaks into another's.
// Only intrinsics and plain loops are used (no library templates), for the
// same reason.
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

void bind_loop(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, std::size_t len,
               std::uint32_t n) {
  for (std::size_t i = 0; i < len; ++i) {
    // Both entries are below n, so the sum is below 2n and one conditional
    // subtraction is the exact remainder.
    const std::uint32_t sum = std::uint32_t{a[i]} + std::uint32_t{b[i]};
    out[i] = static_cast<std::uint16_t>(sum >= n ? sum - n : sum);
  }
}

void unbind_loop(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, std::size_t len,
                 std::uint32_t n) {
  for (std::size_t i = 0; i < len; ++i) {
    // (n - b) + a lies in [1, 2n - 1]; one conditional subtraction reduces it.
    const std::uint32_t diff = (n - std::uint32_t{b[i]}) + std::uint32_t{a[i]};
    out[i] = static_cast<std::uint16_t>(diff >= n ? diff - n : diff);
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

std::uint16_t gather_add_loop(const std::uint16_t* phases, const std::uint64_t* table, std::uint64_t* acc,
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

void dot_group_loop(const std::uint16_t* lanes, const std::uint32_t* offsets, const double* table_re,
                    const double* table_im, std::size_t table_size, const double* w_re, const double* w_im,
                    std::size_t dim, double* sums) {
#if TESMERINE_KERNELS_AVX512
  __m512d s = _mm512_setzero_pd();
  if (table_size <= 16) {
    // The whole table sits in two registers: a permutation reads it.
    alignas(64) double re[16] = {}, im[16] = {};
    // An empty table may have no storage at all: memcpy from a null pointer is
    // undefined even for zero bytes.
    if (table_size != 0) {
      std::memcpy(re, table_re, table_size * sizeof(double));
      std::memcpy(im, table_im, table_size * sizeof(double));
    }
    const __m512d re_lo = _mm512_load_pd(re), re_hi = _mm512_load_pd(re + 8);
    const __m512d im_lo = _mm512_load_pd(im), im_hi = _mm512_load_pd(im + 8);
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

void superpose_loop(const std::uint16_t* rows, const std::uint32_t* offsets, const double* weights,
                    std::size_t count, const double* table_re, const double* table_im, std::size_t table_size,
                    std::size_t dim, double* out_re, double* out_im) {
  std::size_t i = 0;
#if TESMERINE_KERNELS_AVX512
  if (table_size <= 16) {
    alignas(64) double re[16] = {}, im[16] = {};
    // An empty table may have no storage at all: memcpy from a null pointer is
    // undefined even for zero bytes.
    if (table_size != 0) {
      std::memcpy(re, table_re, table_size * sizeof(double));
      std::memcpy(im, table_im, table_size * sizeof(double));
    }
    const __m512d re_lo = _mm512_load_pd(re), re_hi = _mm512_load_pd(re + 8);
    const __m512d im_lo = _mm512_load_pd(im), im_hi = _mm512_load_pd(im + 8);
    for (; i + 8 <= dim; i += 8) {
      __m512d acc_re = _mm512_loadu_pd(out_re + i);
      __m512d acc_im = _mm512_loadu_pd(out_im + i);
      for (std::size_t j = 0; j < count; ++j) {
        const __m512i k = _mm512_add_epi64(
            _mm512_cvtepu16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + j * dim + i))),
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
            _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows + j * dim + i))),
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
  // Blocks of components, each summed over the entries in order.
  constexpr std::size_t kBlock = 16;
  for (; i + kBlock <= dim; i += kBlock) {
    double acc_re[kBlock], acc_im[kBlock];
    for (std::size_t c = 0; c < kBlock; ++c) {
      acc_re[c] = out_re[i + c];
      acc_im[c] = out_im[i + c];
    }
    for (std::size_t j = 0; j < count; ++j) {
      const double w = weights[j];
      const std::uint16_t* p = rows + j * dim + i;
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
      const std::size_t k = std::size_t{offsets[j]} + rows[j * dim + i];
      acc_re = acc_re + (weights[j] * table_re[k]);
      acc_im = acc_im + (weights[j] * table_im[k]);
    }
    out_re[i] = acc_re;
    out_im[i] = acc_im;
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
                          unbind_phasors_loop};                                                          \
  }
