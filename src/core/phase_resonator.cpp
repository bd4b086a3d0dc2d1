#include "core/phase_resonator.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/blocks.hpp"
#include "core/core_error.hpp"
#include "core/kernels/kernels.hpp"
#include "core/phase_rounding.hpp"
#include "core/scratch_pool.hpp"

namespace tesmerine::core {
namespace {

// Phasor form of a vector: component i is (re[i], im[i]).
struct PhasorVec {
  std::vector<double> re;
  std::vector<double> im;
  std::size_t size() const { return re.size(); }
};

// The entries of one codebook in phasor form, as the kernels read them
// (CodebookView): one table of (re, im) pairs, each value once, holding cos
// and sin of (p * 2pi) / n_v (the very values of the lattice phasors) for
// each phase p that entries of resolution n_v use, in ascending order, entry
// j's section starting at offsets[j]. Where a section holds every phase of
// its resolution, positions are phases and rows[j] is entry j's own record,
// read in place (the caller keeps it alive); otherwise rows[j] points into
// `rewritten`, the entry's phases rewritten as positions. Where the table is
// small enough, `tiles` or `masks` holds the positions again for the kernels.
inline const std::uint16_t* as_offsets(const PooledBytes& bytes) {
  return bytes.empty() ? nullptr : reinterpret_cast<const std::uint16_t*>(bytes.data());
}

struct PhasorBook {
  std::size_t count = 0;
  std::size_t dim = 0;
  std::vector<double> pairs;
  std::vector<std::uint32_t> offsets;  // padded with 0 to whole groups
  std::vector<const std::uint16_t*> rows;
  PhaseArray rewritten;
  PooledBytes lanes, tiles;            // byte offsets (16-bit), or
  PooledBytes lane_masks, tile_masks;  // for a table of two positions

  bool two_positions() const { return pairs.size() == 4 && !lane_masks.empty(); }
  CodebookView view() const {
    return {count,
            dim,
            pairs.data(),
            pairs.size() / 2,
            offsets.data(),
            rows.data(),
            as_offsets(lanes),
            as_offsets(tiles),
            lane_masks.empty() ? nullptr : lane_masks.data(),
            tile_masks.empty() ? nullptr : tile_masks.data()};
  }
};

// Sentinel for "no previous sweep": no real index equals it.
constexpr std::uint64_t kNoIndex = ~std::uint64_t{0};
// Marks a resolution not yet given a table section.
constexpr std::uint32_t kNoSection = ~std::uint32_t{0};

// cos and sin of (p * 2pi) / n, the product first.
void lattice_phasor(std::uint32_t p, std::uint32_t n, double& re, double& im) {
  const double angle = (static_cast<double>(p) * kTwoPi) / static_cast<double>(n);
  re = std::cos(angle);
  im = std::sin(angle);
}

// The phasors of one lattice, each computed the first time it is asked for.
class LatticeTable {
 public:
  explicit LatticeTable(std::uint32_t n) : n_(n), re_(n), im_(n), known_(n, 0) {}

  void get(std::uint32_t k, double& re, double& im) {
    check_index(k, n_);
    if (!known_[k]) {
      lattice_phasor(k, n_, re_[k], im_[k]);
      known_[k] = 1;
    }
    re = re_[k];
    im = im_[k];
  }

 private:
  std::uint32_t n_;
  std::vector<double> re_, im_;
  std::vector<std::uint8_t> known_;
};

// A snap costs a few terms' work per component (an atan2 where the bound
// cannot settle it, a table read).
constexpr std::size_t kTermsPerSnap = 4;

void snap_with(PhasorVec& x, std::uint32_t n, LatticeTable& table, Poller& poller) {
  std::uint32_t indices[kBlock];
  for_each_block(0, x.size(), [&](std::size_t start, std::size_t count) {
    angles_to_phase_indices(x.im.data() + start, x.re.data() + start, indices, count, n);
    for (std::size_t i = 0; i < count; ++i) table.get(indices[i], x.re[start + i], x.im[start + i]);
    poller.count(kTermsPerSnap * count);
  });
}

// Up to this many resolutions in a codebook are told apart by a linear search.
constexpr std::size_t kSearchedResolutions = 8;

// Each entry's phases are checked against its resolution before they index
// anything.
void require_phases_below_resolution(const RecordList& entries, std::size_t dim, Poller& poller) {
  for (const PhaseHVec* entry : entries) {
    const std::uint16_t* phases = entry->phases.data();
    std::uint16_t largest = 0;
    poller.over(dim, 1, [&](std::size_t first, std::size_t count) {
      largest = std::max(largest, largest_of(phases + first, count));
    });
    if (dim != 0) check_index(largest, entry->n);
    poller.count(1);
  }
}

// The entries of one resolution.
struct TableSection {
  std::uint32_t n;
  std::vector<std::size_t> members;
};

// The entries grouped by resolution, in order of first use.
std::vector<TableSection> group_by_resolution(const RecordList& entries, Poller& poller) {
  std::vector<TableSection> sections;
  std::vector<std::uint32_t> section_of;  // by resolution, once the book has many
  for (std::size_t j = 0; j < entries.size(); ++j) {
    const std::uint32_t n = entries[j]->n;
    check_index(n, std::size_t{kMaxResolution} + 1);
    std::uint32_t section = kNoSection;
    if (section_of.empty()) {
      for (std::size_t k = 0; k < sections.size(); ++k) {
        if (sections[k].n == n) section = static_cast<std::uint32_t>(k);
      }
      if (section == kNoSection && sections.size() == kSearchedResolutions) {
        section_of.assign(std::size_t{kMaxResolution} + 1, kNoSection);
        for (std::size_t k = 0; k < sections.size(); ++k) section_of[sections[k].n] = static_cast<std::uint32_t>(k);
      }
    } else {
      section = section_of[n];
    }
    if (section == kNoSection) {
      section = static_cast<std::uint32_t>(sections.size());
      if (!section_of.empty()) section_of[n] = section;
      sections.push_back({n, {}});
    }
    sections[section].members.push_back(j);
    poller.count(1);
  }
  return sections;
}

// Lookups by phase, shared by the codebooks of one call and grown only as
// far as they are needed: which phases a section uses, and each used
// phase's position in its section. Every use leaves the marks clear.
class PhaseMarks {
 public:
  // The phases the members of a section use, in ascending order.
  std::vector<std::uint16_t> used_phases(const RecordList& entries, const TableSection& section, std::size_t dim,
                                         Poller& poller) {
    if (marked_.size() < section.n) marked_.resize(section.n, 0);
    std::vector<std::uint16_t> used;
    if (section.members.size() * dim >= 16 * std::size_t{section.n}) {
      // Many times more phases than the resolution has: computing every
      // phasor costs less than marking (a store per phase) which are used.
      used.resize(section.n);
      for (std::uint32_t k = 0; k < section.n; ++k) used[k] = static_cast<std::uint16_t>(k);
    } else if (section.members.size() * dim >= section.n) {
      // At least as many phases as the resolution has: mark them all, then
      // collect the marks in order.
      for_each_phase(entries, section, dim, poller, [&](std::uint16_t p) { marked_[p] = 1; });
      for (std::uint32_t k = 0; k < section.n; ++k) {
        if (marked_[k]) used.push_back(static_cast<std::uint16_t>(k));
        marked_[k] = 0;
      }
    } else {
      // Fewer phases than the resolution has: collect each the first time.
      for_each_phase(entries, section, dim, poller, [&](std::uint16_t p) {
        if (!marked_[p]) {
          marked_[p] = 1;
          used.push_back(p);
        }
      });
      for (const std::uint16_t p : used) marked_[p] = 0;
      std::sort(used.begin(), used.end());
    }
    return used;
  }

  // Each used phase's position in the section (the order of `used`).
  const std::uint16_t* positions_of(const std::vector<std::uint16_t>& used, std::uint32_t n) {
    if (slot_.size() < n) slot_.resize(n);
    for (std::size_t k = 0; k < used.size(); ++k) slot_[used[k]] = static_cast<std::uint16_t>(k);
    return slot_.data();
  }

 private:
  template <class Visit>
  static void for_each_phase(const RecordList& entries, const TableSection& section, std::size_t dim,
                             Poller& poller, Visit&& visit) {
    for (const std::size_t j : section.members) {
      const std::uint16_t* phases = entries[j]->phases.data();
      poller.over(dim, 1, [&](std::size_t first, std::size_t count) {
        for (std::size_t i = first; i < first + count; ++i) visit(phases[i]);
      });
    }
  }

  std::vector<std::uint8_t> marked_;
  std::vector<std::uint16_t> slot_;  // by phase, valid for the phases of the last positions_of
};

// A resolution's table section holds only the phases its entries use, in
// ascending order, and the entries' phases are read as positions in that
// section: each value read is still lattice_phasor(p, n) for the entry's
// own phase p, while the tables stay no larger than the entries (a codebook
// mixing thousands of resolutions near 65536 would otherwise need 16 bytes
// per phase of every one of them). Where every phase is used, the positions
// are the phases themselves and the entries are read as they are.
//
// Fills the book's table, offsets and, for each entry, its row (its own
// phases, or its rewritten copy).
void build_table(const RecordList& entries, PhasorBook& book, PhaseMarks& marks, Poller& poller) {
  const std::size_t dim = book.dim;
  book.rows.resize(book.count);
  for (const TableSection& section : group_by_resolution(entries, poller)) {
    const std::vector<std::uint16_t> used = marks.used_phases(entries, section, dim, poller);
    const std::size_t offset = book.pairs.size() / 2;
    book.pairs.resize(2 * (offset + used.size()));
    poller.over(used.size(), 8, [&](std::size_t first, std::size_t count) {
      for (std::size_t k = first; k < first + count; ++k) {
        double* pair = book.pairs.data() + 2 * (offset + k);
        lattice_phasor(used[k], section.n, pair[0], pair[1]);
      }
    });
    const bool every_phase = used.size() == section.n;
    const std::uint16_t* position_of = every_phase ? nullptr : marks.positions_of(used, section.n);
    if (!every_phase && book.rewritten.empty()) book.rewritten = PhaseArray(book.count * dim);
    for (const std::size_t j : section.members) {
      book.offsets[j] = static_cast<std::uint32_t>(offset);
      const std::uint16_t* phases = entries[j]->phases.data();
      if (every_phase) {
        book.rows[j] = phases;
        continue;
      }
      std::uint16_t* out = book.rewritten.data() + j * dim;
      poller.over(dim, 1, [&](std::size_t first, std::size_t count) {
        for (std::size_t i = first; i < first + count; ++i) out[i] = position_of[phases[i]];
      });
      book.rows[j] = out;
    }
  }
  // Lanes past the entries read position 0; an empty table still has one
  // position for them to read.
  if (book.pairs.empty()) book.pairs = {1.0, 0.0};
}

// Where the table is small enough, the positions again in the two orders
// the kernels read them (see CodebookView), every element written, each
// position k as make(k): a table of two positions as masks (0x00, 0xFF), a
// larger one as byte offsets.
template <class Element, class Make>
void lay_out_positions(const PhasorBook& book, PooledBytes& lanes_storage, PooledBytes& tiles_storage,
                       Make&& make, Poller& poller) {
  const std::size_t dim = book.dim;
  const std::size_t groups = (book.count + kEntryLanes - 1) / kEntryLanes;
  lanes_storage = PooledBytes(groups * dim * kEntryLanes * sizeof(Element));
  Element* lanes = reinterpret_cast<Element*>(lanes_storage.data());
  for (std::size_t g = 0; g < groups; ++g) {
    // Lanes past the last entry read position 0 of a row of zeros.
    static constexpr std::uint16_t kZeroRow[1] = {0};
    const std::size_t base = g * kEntryLanes;
    const std::uint16_t* rows[kEntryLanes];
    std::uint16_t offsets[kEntryLanes];
    std::size_t step[kEntryLanes];
    for (std::size_t l = 0; l < kEntryLanes; ++l) {
      const bool present = base + l < book.count;
      rows[l] = present ? book.rows[base + l] : kZeroRow;
      offsets[l] = present ? static_cast<std::uint16_t>(book.offsets[base + l]) : 0;
      step[l] = present ? 1 : 0;
    }
    Element* out = lanes + g * dim * kEntryLanes;
    poller.over(dim, kEntryLanes, [&](std::size_t first, std::size_t count) {
      for (std::size_t i = first; i < first + count; ++i) {
        for (std::size_t l = 0; l < kEntryLanes; ++l) {
          out[i * kEntryLanes + l] = make(static_cast<std::uint16_t>(rows[l][i * step[l]] + offsets[l]));
        }
      }
    });
  }
  const std::size_t tiles = dim / kComponentTile;
  const std::size_t tile_elements = book.count * kComponentTile;
  tiles_storage = PooledBytes(tiles * tile_elements * sizeof(Element));
  Element* all = reinterpret_cast<Element*>(tiles_storage.data());
  // A few rows at a time across the tiles: the rows are read as a few
  // streams, not one short run from every row per tile.
  constexpr std::size_t kRowsAtOnce = 8;
  poller.over(tiles, tile_elements, [&](std::size_t first, std::size_t count) {
    for (std::size_t row_first = 0; row_first < book.count; row_first += kRowsAtOnce) {
      const std::size_t row_last = std::min(book.count, row_first + kRowsAtOnce);
      for (std::size_t t = first; t < first + count; ++t) {
        Element* out = all + t * tile_elements + row_first * kComponentTile;
        for (std::size_t j = row_first; j < row_last; ++j, out += kComponentTile) {
          // A tile's run of a row through a local array, in 16-bit lanes
          // throughout, so that the compiler does it at once.
          std::uint16_t k[kComponentTile];
          std::memcpy(k, book.rows[j] + t * kComponentTile, sizeof k);
          const std::uint16_t offset = static_cast<std::uint16_t>(book.offsets[j]);
          Element made[kComponentTile];
          for (std::size_t c = 0; c < kComponentTile; ++c) made[c] = make(static_cast<std::uint16_t>(k[c] + offset));
          std::memcpy(out, made, sizeof made);
        }
      }
    }
  });
}

// The largest layout made: a larger codebook is read from its rows, since
// two more copies of it would cost more memory than they save time.
constexpr std::size_t kLargestLayoutBytes = std::size_t{64} << 20;

void lay_out_positions(PhasorBook& book, Poller& poller) {
  const std::size_t positions = book.pairs.size() / 2;
  const std::size_t element_bytes = positions == 2 ? 1 : 2;
  const std::size_t lanes = (book.count + kEntryLanes - 1) / kEntryLanes * kEntryLanes;
  if (book.dim != 0 && lanes > kLargestLayoutBytes / element_bytes / book.dim) return;
  if (positions == 2) {
    lay_out_positions<std::uint8_t>(book, book.lane_masks, book.tile_masks,
                                    [](std::uint16_t k) { return static_cast<std::uint8_t>(0 - k); }, poller);
  } else if (positions <= kTiledPositions) {
    lay_out_positions<std::uint16_t>(book, book.lanes, book.tiles,
                                     [](std::uint16_t k) { return static_cast<std::uint16_t>(16 * k); }, poller);
  }
}

// A book's positions are laid out again for the kernels only where sweeps
// will read it many times: copying costs about one pass over the entries.
PhasorBook to_phasor_book(const RecordList& entries, std::size_t dim, bool lay_out, PhaseMarks& marks,
                          Poller& poller) {
  PhasorBook book;
  book.count = entries.size();
  book.dim = dim;
  const std::size_t groups = (book.count + kEntryLanes - 1) / kEntryLanes;
  book.offsets.assign(groups * kEntryLanes, 0);
  require_phases_below_resolution(entries, dim, poller);
  build_table(entries, book, marks, poller);
  if (lay_out) lay_out_positions(book, poller);
  return book;
}

// Every entry must have the composite's dimension. A shorter entry would be
// read past its end while the initial superpositions are summed (reported
// with that entry's length); a longer one would read past the estimate at
// the first dot product against it (reported with the composite's length).
// Checking up front reports exactly those failures without reading outside
// any array.
void require_entry_dimensions(const std::vector<RecordList>& codebooks, std::uint64_t dim, Poller& poller) {
  for (const auto& book : codebooks) {
    for (const PhaseHVec* entry : book) {
      if (entry->dim < dim) fail_index_out_of_bounds(entry->dim, entry->dim);
      poller.count(1);
    }
  }
  for (const auto& book : codebooks) {
    for (const PhaseHVec* entry : book) {
      if (entry->dim > dim) fail_index_out_of_bounds(dim, dim);
      poller.count(1);
    }
  }
}

PhasorVec zero_phasors(std::size_t dim) {
  return {std::vector<double>(dim, 0.0), std::vector<double>(dim, 0.0)};
}

// The components of one call of a codebook kernel: all of them, unless
// `entries` entries' share of a poll's worth of terms is fewer, and then as
// many whole tiles as make that share.
std::size_t components_per_call(std::size_t dim, std::size_t entries) {
  const std::size_t share = kTermsPerPoll / std::max<std::size_t>(1, entries);
  if (dim <= share) return dim;
  return std::max(kComponentTile, share / kComponentTile * kComponentTile);
}

// The two terms per component of a two-position book's dot products.
struct DotScratch {
  std::vector<double> term0, term1;
};

// The raw dot product of every entry with w, in entry order: each one is a
// strictly sequential sum over ascending components, kEntryLanes entries at
// a time side by side. A group's sums start at +0.0 and, where its
// components take more than one call, each call continues from them. A
// two-position book's two terms per component are formed once for all its
// groups, exactly as the kernels form a term.
void dot_all(const PhasorBook& book, const PhasorVec& w, std::vector<double>& out, DotScratch& terms,
             Poller& poller) {
  const CodebookView view = book.view();
  const std::size_t dim = book.dim;
  const std::size_t groups = (book.count + kEntryLanes - 1) / kEntryLanes;
  const std::size_t span = components_per_call(dim, groups * kEntryLanes);
  out.assign(groups * kEntryLanes, 0.0);
  if (book.two_positions()) {
    terms.term0.resize(dim);
    terms.term1.resize(dim);
    const double re0 = book.pairs[0], im0 = book.pairs[1], re1 = book.pairs[2], im1 = book.pairs[3];
    poller.over(dim, 4, [&](std::size_t first, std::size_t count) {
      for (std::size_t i = first; i < first + count; ++i) {
        terms.term0[i] = (re0 * w.re[i]) + (im0 * w.im[i]);
        terms.term1[i] = (re1 * w.re[i]) + (im1 * w.im[i]);
      }
    });
  }
  for (std::size_t start = 0; start < dim; start += span) {
    const std::size_t last = std::min(dim, start + span);
    if (book.two_positions()) {
      kernels().dot_groups_select(view, 0, groups, terms.term0.data(), terms.term1.data(), start, last, out.data());
    } else {
      kernels().dot_groups(view, 0, groups, w.re.data(), w.im.data(), start, last, out.data());
    }
    poller.count(groups * kEntryLanes * (last - start));
  }
  out.resize(book.count);
}

// sum = the sum, entry by entry in order, of each entry times its weight
// (sum's arrays are reused). Each call of the kernel adds a run of entries
// to a range of components (each component's sum continuing entry by entry
// in order). Over tiles a call takes every entry over as many components
// as make a poll's worth, so that it reads the tiles as one stream; over
// rows, or where that would leave fewer than kFewestComponentsPerCall
// components, it takes a few dozen entries at a time (a few dozen rows read
// side by side).
void superpose(const PhasorBook& book, const double* weights, PhasorVec& sum, Poller& poller) {
  constexpr std::size_t kFewestEntriesPerCall = 64;
  constexpr std::size_t kFewestComponentsPerCall = 16 * kComponentTile;
  const CodebookView view = book.view();
  const std::size_t dim = book.dim;
  sum.re.assign(dim, 0.0);
  sum.im.assign(dim, 0.0);
  const bool tiled = view.tiles != nullptr || view.tile_masks != nullptr;
  std::size_t span = components_per_call(dim, book.count);
  if (!tiled || span < std::min(dim, kFewestComponentsPerCall)) {
    span = components_per_call(dim, std::min(book.count, kFewestEntriesPerCall));
  }
  const std::size_t step = std::max<std::size_t>(1, kTermsPerPoll / std::max<std::size_t>(1, span));
  for (std::size_t start = 0; start < dim; start += span) {
    const std::size_t last = std::min(dim, start + span);
    for (std::size_t first = 0; first < book.count; first += step) {
      const std::size_t end = std::min(book.count, first + step);
      kernels().superpose(view, weights, first, end, start, last, sum.re.data(), sum.im.data());
      poller.count((end - first) * (last - start));
    }
  }
}

Match best_of(const std::vector<double>& dots, std::size_t dim) {
  if (dots.empty()) return {0, 0.0};
  const double divisor = static_cast<double>(dim == 0 ? 1 : dim);
  Match best{0, dots[0] / divisor};
  for (std::size_t j = 1; j < dots.size(); ++j) {
    const double sim = dots[j] / divisor;
    if (best.similarity <= sim) best = {j, sim};
  }
  return best;
}

// The composite's phasors, read through its lattice's table.
PhasorVec lattice_phasors(const PhaseHVec& v, LatticeTable& lattice, Poller& poller) {
  PhasorVec out = zero_phasors(v.phases.size());
  poller.over(v.phases.size(), 1, [&](std::size_t first, std::size_t count) {
    for (std::size_t i = first; i < first + count; ++i) lattice.get(v.phases[i], out.re[i], out.im[i]);
  });
  return out;
}

// Each factor's first estimate: the plain sum of its codebook's entries
// (1.0 * x is x exactly), snapped onto the composite's lattice.
std::vector<PhasorVec> initial_estimates(const std::vector<PhasorBook>& books, std::uint32_t n,
                                         LatticeTable& lattice, Poller& poller) {
  std::vector<PhasorVec> estimates;
  estimates.reserve(books.size());
  for (const PhasorBook& book : books) {
    PhasorVec sum;
    superpose(book, std::vector<double>(book.count, 1.0).data(), sum, poller);
    snap_with(sum, n, lattice, poller);
    estimates.push_back(std::move(sum));
  }
  return estimates;
}

// The working arrays of the sweeps, made once per call and reused.
struct SweepScratch {
  PhasorVec w;     // the composite with every other factor unbound
  PhasorVec next;  // each new estimate is made here, then swapped in
  std::vector<double> dots;
  DotScratch terms;
};

// One sweep: each factor in turn unbinds every other factor's current
// estimate (by conjugate, in ascending order) from a fresh copy of the
// composite, weighs its entries by their raw dot products with that (neither
// divided nor clipped), and replaces its estimate at once with the snapped
// weighted superposition.
void resonate_once(const PhasorVec& composite, const std::vector<PhasorBook>& books, std::uint32_t n,
                   LatticeTable& lattice, std::vector<PhasorVec>& estimates, SweepScratch& scratch,
                   Poller& poller) {
  const std::size_t dim = composite.size();
  PhasorVec& w = scratch.w;
  w.re.resize(dim);
  w.im.resize(dim);
  for (std::size_t f = 0; f < books.size(); ++f) {
    poller.over(dim, 2, [&](std::size_t first, std::size_t count) {
      std::copy_n(composite.re.data() + first, count, w.re.data() + first);
      std::copy_n(composite.im.data() + first, count, w.im.data() + first);
    });
    for (std::size_t g = 0; g < books.size(); ++g) {
      if (g == f) continue;
      const PhasorVec& e = estimates[g];
      poller.over(dim, 4, [&](std::size_t first, std::size_t count) {
        kernels().unbind_phasors(w.re.data() + first, w.im.data() + first, e.re.data() + first,
                                 e.im.data() + first, count);
      });
    }
    dot_all(books[f], w, scratch.dots, scratch.terms, poller);
    superpose(books[f], scratch.dots.data(), scratch.next, poller);
    snap_with(scratch.next, n, lattice, poller);
    std::swap(estimates[f], scratch.next);
  }
}

// The stop after the first sweep whose indices equal those of the three
// sweeps before it.
class StopRule {
 public:
  explicit StopRule(std::size_t factors) : previous_(factors, kNoIndex) {}

  bool settled(const std::vector<Match>& matches) {
    current_.resize(matches.size());
    for (std::size_t f = 0; f < matches.size(); ++f) current_[f] = matches[f].index;
    bool stop = false;
    if (current_ == previous_) {
      stop = stable_count_ > 1;
      ++stable_count_;
    } else {
      stable_count_ = 0;
    }
    previous_.swap(current_);
    return stop;
  }

 private:
  std::vector<std::uint64_t> previous_, current_;
  std::int32_t stable_count_ = 0;
};

// The entry with the highest similarity to the estimate; ties go to the
// highest index; (0, 0.0) for an empty book.
Match best_match(const PhasorBook& book, const PhasorVec& estimate, SweepScratch& scratch, Poller& poller) {
  if (book.count == 0) return {0, 0.0};
  if (book.dim > estimate.size()) fail_index_out_of_bounds(estimate.size(), estimate.size());
  dot_all(book, estimate, scratch.dots, scratch.terms, poller);
  return best_of(scratch.dots, estimate.size());
}

}  // namespace

std::vector<Match> factorize(const PhaseHVec& composite,
                             const std::vector<RecordList>& codebooks,
                             std::uint64_t max_iter,
                             InterruptCheck interrupted) {
  const std::size_t dim = composite.phases.size();
  const std::uint32_t n = composite.n;
  Poller poller(interrupted);
  require_entry_dimensions(codebooks, dim, poller);

  std::vector<PhasorBook> books;
  books.reserve(codebooks.size());
  {
    PhaseMarks marks;
    for (const auto& entries : codebooks) {
      books.push_back(to_phasor_book(entries, dim, max_iter != 0, marks, poller));
    }
  }
  // The composite and every snapped estimate share the composite's lattice.
  LatticeTable lattice(n);
  const PhasorVec composite_phasors = lattice_phasors(composite, lattice, poller);
  if (books.empty()) return {};

  std::vector<PhasorVec> estimates = initial_estimates(books, n, lattice, poller);
  StopRule stop(books.size());
  SweepScratch scratch;
  std::vector<Match> matches(books.size());
  std::uint64_t sweep = 0;
  while (max_iter != 0) {
    ++sweep;
    resonate_once(composite_phasors, books, n, lattice, estimates, scratch, poller);
    for (std::size_t f = 0; f < books.size(); ++f) matches[f] = best_match(books[f], estimates[f], scratch, poller);
    if (stop.settled(matches) || sweep == max_iter) break;
  }

  // After a sweep the final matches are the ones it ended with: the
  // estimates have not changed since.
  if (sweep == 0) {
    for (std::size_t f = 0; f < books.size(); ++f) matches[f] = best_match(books[f], estimates[f], scratch, poller);
  }
  return matches;
}

}  // namespace tesmerine::core
