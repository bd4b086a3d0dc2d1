// How a long computation of the core can be stopped from outside. The core
// polls the caller's check every few hundred thousand terms of work (array
// elements read or written, multiply-adds, items folded) in every loop whose
// length the caller chooses. The check either returns, and the computation
// goes on exactly as if it had not been called, or throws; the exception
// then leaves the core, every scratch buffer of the call being released on
// the way, and nothing is returned.
//
// Loops are split into ranges at the callers of the kernels, never inside
// a kernel: a kernel that sums continues from the sums it is given, so each
// sum is still formed one term at a time in its defined order.
#pragma once

#include <algorithm>
#include <cstddef>

namespace tesmerine::core {

using InterruptCheck = void (*)();

inline void poll(InterruptCheck check) {
  if (check != nullptr) check();
}

// The work between two polls: well under a millisecond for the cheapest
// terms, a few milliseconds for the dearest (a cos, a Python int).
inline constexpr std::size_t kTermsPerPoll = std::size_t{1} << 18;

// Counts the work of one call and polls each time another kTermsPerPoll
// terms have been counted, so that a call of less work never polls.
class Poller {
 public:
  explicit Poller(InterruptCheck check) noexcept : check_(check) {}

  void count(std::size_t terms) {
    counted_ += terms;
    if (counted_ >= kTermsPerPoll) {
      counted_ = 0;
      poll(check_);
    }
  }

  // Calls body(first, length) on consecutive ranges covering [0, len), each
  // of at most about kTermsPerPoll terms at terms_per_item terms an item,
  // counting each range's work after it.
  template <class Body>
  void over(std::size_t len, std::size_t terms_per_item, Body&& body) {
    const std::size_t step = std::max<std::size_t>(1, kTermsPerPoll / std::max<std::size_t>(1, terms_per_item));
    for (std::size_t first = 0; first < len; first += step) {
      const std::size_t length = std::min(step, len - first);
      body(first, length);
      count(length * terms_per_item);
    }
  }

 private:
  InterruptCheck check_;
  std::size_t counted_ = 0;
};

}  // namespace tesmerine::core
