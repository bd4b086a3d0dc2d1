// Checks the generator's remainder, which no variant takes with a divide in
// its vector lanes, against the 64-bit `%` for every n in 2..=65536, on the
// words where a remainder taken otherwise would go wrong first: the
// largest words, words either side of 2^32 and of multiples of n, and words
// whose reduced value (hi * (2^32 mod n) + lo, hi and lo the 32-bit halves)
// lies next to a multiple of n at the top of its range; and on random words.
//
// The mixing step is a bijection of 64-bit words, so each chosen word is
// made the mixed word of some position of a generator call by inverting it
// for that position's seed word; the call's other positions are checked as
// well. Every position of a block of 16 takes a chosen word in turn, so
// each vector lane meets them.
//
//   check_remainders    (exit status 1 on any difference)
//
// A CTest test of the test build; scripts/test-kernels.sh runs it under each
// kernel variant.
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "core/kernels/kernels.hpp"
#include "core/phase_constants.hpp"

namespace {

using namespace tesmerine::core;
using u64 = std::uint64_t;

u64 mix(u64 x) {
  x ^= x >> 29;
  x *= kMixMultiplier;
  x ^= x >> 32;
  return x;
}

u64 unmix(u64 x) {
  u64 inverse = kMixMultiplier;  // Newton's iteration for the inverse mod 2^64
  for (int i = 0; i < 6; ++i) inverse *= 2 - kMixMultiplier * inverse;
  x ^= x >> 32;
  x *= inverse;
  return x ^ (x >> 29) ^ (x >> 58);
}

constexpr std::size_t kBlock = 16;

}  // namespace

int main() {
  std::mt19937_64 rng(2026);
  long checked = 0, differing = 0;
  std::uint16_t out[kBlock];
  std::vector<u64> words;
  for (u64 n = 2; n <= 65536; ++n) {
    const u64 r = (u64{1} << 32) % n;
    const u64 top = ~u64{0} - ~u64{0} % n;  // the largest multiple of n
    words = {0, 1, n - 1, n, n + 1, ~u64{0}, ~u64{0} - 1, (u64{1} << 32) - 1, u64{1} << 32, (u64{1} << 32) + 1,
             top - 1, top, top + 1};
    for (u64 hi : {u64{0}, u64{1}, u64{1} << 31, (u64{1} << 32) - 1, rng() >> 32}) {
      for (u64 want : {u64{0}, u64{1}, n - 1}) {
        // The largest lo below 2^32 with hi * r + lo = want (mod n).
        const u64 base = (want + n - (hi * r) % n) % n;
        const u64 lo = base + (((u64{1} << 32) - 1 - base) / n) * n;
        words.push_back((hi << 32) | lo);
      }
      words.push_back((hi << 32) | (rng() & 0xFFFFFFFFull));
    }
    for (int k = 0; k < 4; ++k) words.push_back(rng());
    for (std::size_t w = 0; w < words.size(); ++w) {
      // Blocks start at every index 0 .. kBlock - 1 and at large ones.
      const u64 first = w % 3 == 0 ? w % kBlock : rng();
      const u64 position = w % kBlock;
      const u64 seed_word = unmix(words[w]) ^ ((first + position) * kCounterStep);
      kernels().random(out, first, kBlock, seed_word, static_cast<std::uint32_t>(n));
      for (u64 i = 0; i < kBlock; ++i) {
        const u64 x = mix(seed_word ^ ((first + i) * kCounterStep));
        if (i == position && x != words[w]) {
          std::printf("unmix failed for %llu\n", static_cast<unsigned long long>(words[w]));
          return 1;
        }
        ++checked;
        if (out[i] != x % n && ++differing <= 20) {
          std::printf("DIFFERENT n=%llu x=%llu: %u, not %llu\n", static_cast<unsigned long long>(n),
                      static_cast<unsigned long long>(x), out[i], static_cast<unsigned long long>(x % n));
        }
      }
    }
  }
  std::printf("%ld remainders checked, %ld different\n", checked, differing);
  return differing == 0 ? 0 : 1;
}
