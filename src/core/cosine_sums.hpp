// The ordered sum of cosines behind similarity, with every argument's
// cosine computed once where that is cheaper than one call per position.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/interrupt.hpp"

namespace tesmerine::core {

// s = 0.0; for i = 0 .. len - 1 in order: s = s + cos(x_i), where
// x_i = (((double)a[i] - (double)b[i]) * 2pi) / (double)n. Entries of a and
// b must be below n (2 <= n <= 65536).
//
// x_i depends only on the difference a[i] - b[i], an integer in (-n, n), so
// a call has at most 2n - 1 distinct arguments. Where that is cheaper, cos
// is called once for each of them, on the same x formed the same way, and
// the values are looked up and added one at a time in index order: the
// same additions of the same values as one cos per position, so the result
// has the same bits whichever way it is computed.
//
// Tables of resolutions up to kCachedCosineResolution are kept across calls
// in a small cache of kCosineCacheSlots tables (at most 4 * 8191 doubles,
// 262 KB, in all), least recently used first out. A resolution's table is
// built once the positions computed one cos each at that resolution, this
// call included, number at least its 2n - 1 entries, so that no sequence of
// calls spends more than about twice the cos calls of the cheaper choice.
// The cache is shared by all threads behind a mutex that is only ever
// tried, and held only to look a table up: a call that finds it busy
// (which cannot happen while callers hold the interpreter lock) goes
// without it. Larger resolutions get a table of their own for one call when
// 2n - 1 is well below len.
//
// `interrupted` is polled as the sum goes (interrupt.hpp).
double sum_of_cosines(const std::uint16_t* a, const std::uint16_t* b, std::size_t len, std::uint32_t n,
                      InterruptCheck interrupted = nullptr);

inline constexpr std::uint32_t kCachedCosineResolution = 4096;
inline constexpr std::size_t kCosineCacheSlots = 4;

}  // namespace tesmerine::core
