// The two ways the numeric core can fail.
//
// A UserError carries one of the fixed messages a caller can provoke with
// valid-looking arguments (mismatched vectors, an empty bundle, a bad
// resolution); the Python surface raises it as ValueError. An
// InternalFailure means an invariant did not hold (an index out of range,
// an impossible allocation size, a failed assertion); the surface raises it
// as PanicException and the module stays usable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace tesmerine::core {

class UserError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kMismatchMessage = "phase vectors differ in dimension or resolution";
inline constexpr const char* kEmptyBundleMessage = "cannot bundle an empty list";
inline constexpr const char* kResolutionMessage = "n (phase resolution) must be in 2..=65536";

[[noreturn]] inline void fail_index_out_of_bounds(std::uint64_t len, std::uint64_t index) {
  throw InternalFailure("index out of bounds: the len is " + std::to_string(len) +
                        " but the index is " + std::to_string(index));
}

// Panics unless index < len; the guard that keeps every table and array read
// inside its data even if an invariant were ever broken.
inline void check_index(std::uint64_t index, std::uint64_t len) {
  if (index >= len) fail_index_out_of_bounds(len, index);
}

// The largest of len phases (0 for none), to be checked once against the
// bound every table read needs, instead of testing each read.
inline std::uint16_t largest_of(const std::uint16_t* phases, std::size_t len) {
  std::uint16_t largest = 0;
  for (std::size_t i = 0; i < len; ++i) largest = phases[i] > largest ? phases[i] : largest;
  return largest;
}

}  // namespace tesmerine::core
