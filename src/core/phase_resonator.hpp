// Resonator factorization: recover, for each factor of a bound composite,
// the codebook entry that best explains it. Works in the phasor domain
// (a cosine and a sine per component) with strictly ordered arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/phase_hvec.hpp"

namespace tesmerine::core {

// Phasor form of a vector: component i is (re[i], im[i]).
struct PhasorVec {
  std::vector<double> re;
  std::vector<double> im;
  std::size_t size() const { return re.size(); }
};

// The entries of one codebook in phasor form. Every entry is a unit phasor
// on its own lattice, so it is kept as its 16-bit phase indices and read
// through `table_re` / `table_im`, which hold cos and sin of (p * 2pi) / n_v
// (the very values of the lattice phasors) for each resolution n_v present,
// entry j's resolution starting at offsets[j]. The phases are stored twice:
// `tiles` in blocks of kComponentTile components (tile_position(count, j, i),
// padded to whole tiles) and, only where the kernels read it so (a table of
// at most lanes_table_limit entries), `lanes` in groups of kEntryLanes
// entries side by side ([(g * dim + i) * kEntryLanes + l]). `table_pairs` holds the same
// values as the two tables, re and im of entry k at 2k and 2k + 1.
struct PhasorBook {
  std::size_t count = 0;
  std::size_t dim = 0;
  std::vector<double> table_re;
  std::vector<double> table_im;
  std::vector<double> table_pairs;
  std::vector<std::uint32_t> offsets;  // padded to whole groups
  PhaseArray tiles;
  PhaseArray lanes;
};

struct Match {
  std::uint64_t index;
  double similarity;
};

// The entry with the highest similarity to the estimate; ties go to the
// highest index; (0, 0.0) for an empty book.
Match best_match(const PhasorBook& book, const PhasorVec& estimate);

// The resonator network: one (index, similarity) per codebook, in order.
std::vector<Match> factorize(const PhaseHVec& composite,
                             const std::vector<RecordList>& codebooks,
                             std::uint64_t max_iter);

}  // namespace tesmerine::core
