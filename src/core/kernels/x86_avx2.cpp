// AVX2: the portable loops compiled for 32-byte registers; the generator in
// vector lanes (its 64-bit multiply built from 32-bit ones, its remainder
// taken in doubles without a divide); the bundle fold with each item's
// largest phase found apart from its gathers; the resonator's codebook
// reads as (re, im) pairs, one load a phasor.
#include "core/kernels/x86_intrinsics.hpp"

#include "core/kernels/portable_loops.hpp"
#include "core/kernels/x86_phasor_pairs.hpp"

namespace tesmerine::core {
namespace {

// x * m mod 2^64 in each 64-bit lane, from the three 32 x 32 -> 64-bit
// products that reach the low 64 bits: lo(x) lo(m) + (hi(x) lo(m) +
// lo(x) hi(m)) * 2^32, all wrapping mod 2^64.
inline __m256i multiply_low64(__m256i x, __m256i m_lo, __m256i m_hi) {
  const __m256i low = _mm256_mul_epu32(x, m_lo);
  const __m256i cross =
      _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(x, 32), m_lo), _mm256_mul_epu32(x, m_hi));
  return _mm256_add_epi64(low, _mm256_slli_epi64(cross, 32));
}

struct RemainderConstants {
  __m256i low_half;    // 2^32 - 1 in every lane
  __m256i exponent52;  // the bits of 2^52 in every lane
  __m256i r;           // 2^32 mod n
  __m256d two52, inverse, half_step, n;
};

// The last xor-shift of the mixer and the remainder mod n of its word, in
// four 64-bit lanes, as four 32-bit integers: product is the mixer's word
// before x ^= x >> 32, so the word has the upper half hi of product and the
// lower half lo = lo(product) ^ hi. The remainder is the one of
// random_by_float_remainder (portable_loops.hpp, which shows why it is
// exact), with y = hi * r + lo formed in integers and made a double exactly
// by taking the exponent bits of 2^52 as its upper bits and subtracting 2^52.
inline __m128i mix_tail_remainder(__m256i product, const RemainderConstants& c) {
  const __m256i hi = _mm256_srli_epi64(product, 32);
  const __m256i lo = _mm256_and_si256(_mm256_xor_si256(product, hi), c.low_half);
  const __m256i y_bits = _mm256_or_si256(_mm256_add_epi64(_mm256_mul_epu32(hi, c.r), lo), c.exponent52);
  const __m256d y = _mm256_sub_pd(_mm256_castsi256_pd(y_bits), c.two52);
  const __m256d q = _mm256_floor_pd(_mm256_add_pd(_mm256_mul_pd(y, c.inverse), c.half_step));
  return _mm256_cvttpd_epi32(_mm256_sub_pd(y, _mm256_mul_pd(q, c.n)));
}

void random_avx2(std::uint16_t* out, std::uint64_t first, std::size_t len, std::uint64_t seed_word,
                 std::uint32_t n) {
  const double nd = static_cast<double>(n);
  const RemainderConstants c{_mm256_set1_epi64x(0xFFFFFFFFll),
                             _mm256_set1_epi64x(0x4330000000000000ll),
                             _mm256_set1_epi64x(static_cast<long long>((std::uint64_t{1} << 32) % n)),
                             _mm256_set1_pd(4503599627370496.0),
                             _mm256_set1_pd(1.0 / nd),
                             _mm256_set1_pd(0.5 / nd),
                             _mm256_set1_pd(nd)};
  const __m256i seed = _mm256_set1_epi64x(static_cast<long long>(seed_word));
  const __m256i m_lo = _mm256_set1_epi64x(static_cast<long long>(kMixMultiplier & 0xFFFFFFFFull));
  const __m256i m_hi = _mm256_set1_epi64x(static_cast<long long>(kMixMultiplier >> 32));
  const __m256i step8 = _mm256_set1_epi64x(static_cast<long long>(8 * kCounterStep));
  // The index offsets (first + i) * kCounterStep of lanes i .. i + 3 and
  // i + 4 .. i + 7.
  const std::uint64_t base = first * kCounterStep;
  __m256i offsets0 = _mm256_setr_epi64x(static_cast<long long>(base), static_cast<long long>(base + kCounterStep),
                                        static_cast<long long>(base + 2 * kCounterStep),
                                        static_cast<long long>(base + 3 * kCounterStep));
  __m256i offsets1 = _mm256_add_epi64(offsets0, _mm256_set1_epi64x(static_cast<long long>(4 * kCounterStep)));
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    __m256i x0 = _mm256_xor_si256(seed, offsets0);
    __m256i x1 = _mm256_xor_si256(seed, offsets1);
    x0 = _mm256_xor_si256(x0, _mm256_srli_epi64(x0, 29));
    x1 = _mm256_xor_si256(x1, _mm256_srli_epi64(x1, 29));
    x0 = multiply_low64(x0, m_lo, m_hi);
    x1 = multiply_low64(x1, m_lo, m_hi);
    // Remainders below 65536 pack to 16 bits without saturating.
    const __m128i phases = _mm_packus_epi32(mix_tail_remainder(x0, c), mix_tail_remainder(x1, c));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), phases);
    offsets0 = _mm256_add_epi64(offsets0, step8);
    offsets1 = _mm256_add_epi64(offsets1, step8);
  }
  const MultiplyRemainder remainder(n);
  for (; i < len; ++i) out[i] = remainder.of(mix_counter(seed_word, first + i));
}

constexpr Kernels avx2_kernels() {
  Kernels k = portable_kernels<32>();
  k.random = random_avx2;
  k.gather_add = gather_add_apart_loop;
  k.dot_groups = dot_groups_pairs;
  k.dot_groups_select = dot_groups_select_masks;
  k.superpose = superpose_pairs;
  return k;
}

}  // namespace

extern const Kernels kAvx2Kernels;
constinit const Kernels kAvx2Kernels = avx2_kernels();

}  // namespace tesmerine::core
