// Resonator factorization: recover, for each factor of a bound composite,
// the codebook entry that best explains it. Works in the phasor domain
// (a cosine and a sine per component) with strictly ordered arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/interrupt.hpp"
#include "core/phase_hvec.hpp"

namespace tesmerine::core {

struct Match {
  std::uint64_t index;
  double similarity;
};

// The resonator network: one (index, similarity) per codebook, in order.
// `interrupted` is polled throughout (interrupt.hpp): while the codebooks
// are prepared, and within every stage of every factor's update.
std::vector<Match> factorize(const PhaseHVec& composite,
                             const std::vector<RecordList>& codebooks,
                             std::uint64_t max_iter,
                             InterruptCheck interrupted = nullptr);

}  // namespace tesmerine::core
