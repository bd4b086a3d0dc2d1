// The x86 vector intrinsics of the kernels. A test build may compile the
// AVX-512 variants against SIMDe's portable implementations of the same
// intrinsics instead (TESMERINE_EMULATE_AVX512), so that their code runs,
// lane by lane, on a processor without AVX-512 and its results can be
// compared with every other variant's. The released module never does.
#pragma once

#ifndef TESMERINE_EMULATE_AVX512
#include <immintrin.h>
#else
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

#include <cstdint>
#include <cstring>

// The few intrinsics the kernels use that SIMDe does not provide, written
// out lane by lane as the instruction set defines them.
namespace {

#ifndef __mmask8
#define __mmask8 simde__mmask8
#define __mmask32 simde__mmask32
#define __mmask64 simde__mmask64
#endif

inline __m512i _mm512_cvtepu16_epi64(__m128i a) {
  std::uint16_t in[8];
  std::uint64_t out[8];
  std::memcpy(in, &a, sizeof in);
  for (int l = 0; l < 8; ++l) out[l] = in[l];
  return _mm512_loadu_si512(out);
}

inline __m512i _mm512_maskz_cvtepu32_epi64(__mmask8 k, __m256i a) {
  std::uint32_t in[8];
  std::uint64_t out[8];
  std::memcpy(in, &a, sizeof in);
  for (int l = 0; l < 8; ++l) out[l] = ((k >> l) & 1) ? in[l] : 0;
  return _mm512_loadu_si512(out);
}

inline __m512i _mm512_i32gather_epi64(__m256i index, const void* base, int scale) {
  std::int32_t in[8];
  std::uint64_t out[8];
  std::memcpy(in, &index, sizeof in);
  for (int l = 0; l < 8; ++l) {
    std::memcpy(&out[l], static_cast<const char*>(base) + std::int64_t{in[l]} * scale, sizeof out[l]);
  }
  return _mm512_loadu_si512(out);
}

// Lanes whose mask bit is clear are not read (the instruction suppresses
// their faults) and come out 0.
inline __m512i _mm512_maskz_loadu_epi16(__mmask32 k, const void* p) {
  std::uint16_t out[32];
  for (int l = 0; l < 32; ++l) {
    out[l] = 0;
    if ((k >> l) & 1) std::memcpy(&out[l], static_cast<const char*>(p) + 2 * l, sizeof out[l]);
  }
  return _mm512_loadu_si512(out);
}

inline std::uint32_t _mm512_reduce_max_epu32(__m512i a) {
  std::uint32_t in[16];
  std::memcpy(in, &a, sizeof in);
  std::uint32_t largest = in[0];
  for (int l = 1; l < 16; ++l) largest = in[l] > largest ? in[l] : largest;
  return largest;
}

}  // namespace
#endif
