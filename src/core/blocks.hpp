// Work done a block at a time through small arrays on the stack (angles,
// directions, steps), so that a pass over any length needs no scratch
// allocation.
#pragma once

#include <cstddef>

namespace tesmerine::core {

inline constexpr std::size_t kBlock = 256;

// Calls body(start, count) on consecutive blocks of at most kBlock elements
// covering [first, last).
template <class Body>
void for_each_block(std::size_t first, std::size_t last, Body&& body) {
  for (std::size_t start = first; start < last; start += kBlock) {
    body(start, last - start < kBlock ? last - start : kBlock);
  }
}

}  // namespace tesmerine::core
