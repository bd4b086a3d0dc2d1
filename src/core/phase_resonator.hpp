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

// Phasor form of a vector: component i is (re[i], im[i]).
struct PhasorVec {
  std::vector<double> re;
  std::vector<double> im;
  std::size_t size() const { return re.size(); }
};

// The entries of one codebook in phasor form. Every entry is a unit phasor
// on its own lattice, so it is read as 16-bit positions in `table_re` /
// `table_im`, which hold cos and sin of (p * 2pi) / n_v (the very values of
// the lattice phasors) for each phase p that entries of resolution n_v use,
// in ascending order, entry j's section starting at offsets[j]. Where a
// section holds every phase of its resolution, positions are phases and
// `phases[j]` is entry j's own record, read in place (the caller keeps it
// alive); otherwise `phases[j]` points into `positions`, the entry's phases
// rewritten as positions. `table_pairs` holds the table's values again, re
// and im of entry k at 2k and 2k + 1. Where the kernels read it (a table of
// at most lanes_table_limit entries), `lanes` holds the positions again, in
// groups of kEntryLanes entries side by side ([(g * dim + i) * kEntryLanes + l]).
struct PhasorBook {
  std::size_t count = 0;
  std::size_t dim = 0;
  std::vector<double> table_re;
  std::vector<double> table_im;
  std::vector<double> table_pairs;
  std::vector<std::uint32_t> offsets;  // padded to whole groups
  std::vector<const std::uint16_t*> phases;
  PhaseArray positions;
  PhaseArray lanes;
};

struct Match {
  std::uint64_t index;
  double similarity;
};

// The entry with the highest similarity to the estimate; ties go to the
// highest index; (0, 0.0) for an empty book.
Match best_match(const PhasorBook& book, const PhasorVec& estimate, InterruptCheck interrupted = nullptr);

// The resonator network: one (index, similarity) per codebook, in order.
// `interrupted` is polled throughout (interrupt.hpp): while the codebooks
// are prepared, and within every stage of every factor's update.
std::vector<Match> factorize(const PhaseHVec& composite,
                             const std::vector<RecordList>& codebooks,
                             std::uint64_t max_iter,
                             InterruptCheck interrupted = nullptr);

}  // namespace tesmerine::core
