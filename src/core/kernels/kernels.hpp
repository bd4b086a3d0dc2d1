// Inner loops of the core, built once per instruction set and chosen at run
// time (variants.cpp holds the one table of variants). Every variant performs
// the same IEEE operations in the same order on each value: vector lanes only
// ever hold independent elements or independent sums, never parts of one
// sum, and nothing is fused.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

namespace tesmerine::core {

// Entries of a phasor codebook interleaved in groups of this many, so that
// one group's dot products run side by side, one lane per entry.
inline constexpr std::size_t kEntryLanes = 8;

// The weighted superposition works on blocks of this many components, each
// block's sums held while every entry's phases of the block are read.
inline constexpr std::size_t kComponentTile = 16;

// Tables of at most this many positions are read through byte offsets of
// 16 bits.
inline constexpr std::size_t kTiledPositions = 4096;

// One codebook as the kernels read it. Every entry is a unit phasor on its
// own lattice, so entry j's phasor at component i is the table's position
// k = offsets[j] + rows[j][i], whose (re, im) are pairs[2k] and pairs[2k + 1].
//
// Where the table has at most kTiledPositions positions, the positions come
// again in the two orders the kernels read them, each one stream:
//   - for the dot products, `lanes`: [group][component][kEntryLanes], every
//     component (position 0 past the last entry);
//   - for the superposition, `tiles`: [tile][entry][kComponentTile], the
//     whole tiles only (the components after them are read from the rows).
// Each position k is given as its byte offset 16 k into `pairs`; a table of
// exactly two positions gives `lane_masks` and `tile_masks` instead, in the
// same orders: 0x00 for position 0 and 0xFF for 1, each byte its own lane
// mask.
struct CodebookView {
  std::size_t count = 0;                       // entries
  std::size_t dim = 0;                         // components of each entry
  const double* pairs = nullptr;
  std::size_t positions = 0;                   // positions in the table, at least 1
  const std::uint32_t* offsets = nullptr;      // padded with 0 to whole groups
  const std::uint16_t* const* rows = nullptr;  // dim positions each
  const std::uint16_t* lanes = nullptr;        // or null
  const std::uint16_t* tiles = nullptr;        // or null
  const std::uint8_t* lane_masks = nullptr;    // or null
  const std::uint8_t* tile_masks = nullptr;    // or null

  // The components given as tiles: [0, whole_tiles()).
  std::size_t whole_tiles() const {
    return tiles != nullptr || tile_masks != nullptr ? dim / kComponentTile * kComponentTile : 0;
  }
  // Where the group's elements at component i start in the lanes.
  std::size_t lane_index(std::size_t group, std::size_t i) const { return (group * dim + i) * kEntryLanes; }
  // Where entry j's elements of the tile from component i (a multiple of
  // kComponentTile) start in the tiles.
  std::size_t tile_index(std::size_t j, std::size_t i) const { return ((i / kComponentTile) * count + j) * kComponentTile; }
  // The phasor (re, im) at a byte offset of the lanes or tiles.
  const double* pair_at(std::size_t byte_offset) const {
    return reinterpret_cast<const double*>(reinterpret_cast<const char*>(pairs) + byte_offset);
  }
};

// Marks a step that nearest_steps leaves to the exact path.
inline constexpr std::int32_t kUndecidedStep = INT32_MIN;

struct Kernels {
  // out[i] = (a[i] + b[i]) mod n, for entries below n.
  void (*bind)(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, std::size_t len,
               std::uint32_t n);
  // out[i] = ((n - b[i]) + a[i]) mod n.
  void (*unbind)(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, std::size_t len,
                 std::uint32_t n);
  // out[i] = mix(seed_word ^ (first + i) * kCounterStep) mod n for i < len
  // (phase_constants.hpp): phases first .. first + len - 1 of a vector.
  void (*random)(std::uint16_t* out, std::uint64_t first, std::size_t len, std::uint64_t seed_word,
                 std::uint32_t n);
  // angles[i] = ((a[i] - b[i]) * 2pi) / resolution.
  void (*difference_angles)(const std::uint16_t* a, const std::uint16_t* b, double* angles, std::size_t len,
                            double resolution);
  // For each of `count` items k: acc[i] += table[phases[k][offset + i]] for
  // i < len, and largest[k] becomes the larger of itself and every phase read.
  // The table's first n words are set; a phase of n or more reads
  // some word of the 2^16 (or, where n <= 256, a sum that is then refused
  // through largest).
  void (*gather_add)(const std::uint16_t* const* phases, std::size_t count, std::size_t offset,
                     const std::uint64_t* table, std::uint32_t n, std::uint64_t* acc, std::size_t len,
                     std::uint16_t* largest);
  // The dot products of the groups [group_first, group_last) of a
  // codebook's entries with w, lane l of group g for entry g * kEntryLanes +
  // l, its sum at sums[(g - group_first) * kEntryLanes + l], over the
  // components [first, last), continuing from the sums given: for
  // i = first .. last - 1 in order, sum = sum + ((re * w_re[i]) + (im * w_im[i])),
  // (re, im) being the entry's phasor at component i. Lanes past the last
  // entry may read anything; their sums are not used. A caller may so split
  // the components into ranges.
  void (*dot_groups)(const CodebookView& book, std::size_t group_first, std::size_t group_last, const double* w_re,
                     const double* w_im, std::size_t first, std::size_t last, double* sums);
  // The same for a book of two positions (its lane masks), whose terms the
  // caller forms once for every group: term0[i] and term1[i] are
  // ((re * w_re[i]) + (im * w_im[i])) of positions 0 and 1, and
  // sum = sum + (mask ? term1[i] : term0[i]).
  void (*dot_groups_select)(const CodebookView& book, std::size_t group_first, std::size_t group_last,
                            const double* term0, const double* term1, std::size_t first, std::size_t last,
                            double* sums);
  // The weighted superposition of the entries [entry_first, entry_last) over
  // the components [first, last), first a multiple of kComponentTile: for
  // each such component i and each of those entries j in order,
  // out_re[i] = out_re[i] + (weights[j] * re) and likewise for im, (re, im)
  // being entry j's phasor at component i. out_re and out_im are indexed by
  // component.
  void (*superpose)(const CodebookView& book, const double* weights, std::size_t entry_first,
                    std::size_t entry_last, std::size_t first, std::size_t last, double* out_re, double* out_im);
  // w = w * conj(e), componentwise.
  void (*unbind_phasors)(double* w_re, double* w_im, const double* e_re, const double* e_im, std::size_t len);
  // steps[i] = the integer nearest to (atan2(y[i], x[i]) / 2pi) * n, computed
  // without atan2, where it is certain to equal what libm's atan2 followed by
  // the division, the multiplication and the rounding gives; kUndecidedStep
  // where it is not (t too close to a half-integer, or x = y = 0).
  // steps_per_radian is n / 2pi.
  void (*nearest_steps)(const double* y, const double* x, std::int32_t* steps, std::size_t len,
                        double steps_per_radian);
};

// The variant for this processor: the first entry of the table that it
// supports (in a test build, the one TESMERINE_KERNELS names, if supported).
const Kernels& kernels();

// The names of the variants this processor supports, best first, ending
// with a null pointer: what a test build may force, one at a time.
const char* const* supported_kernel_variants();

}  // namespace tesmerine::core
