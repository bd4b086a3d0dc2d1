#include "core/phase_resonator.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/core_error.hpp"
#include "core/kernels/kernels.hpp"
#include "core/phase_rounding.hpp"

namespace tesmerine::core {
namespace {

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
  constexpr std::size_t kBlock = 256;
  std::uint32_t indices[kBlock];
  for (std::size_t start = 0; start < x.size(); start += kBlock) {
    const std::size_t count = std::min(kBlock, x.size() - start);
    angles_to_phase_indices(x.im.data() + start, x.re.data() + start, indices, count, n);
    for (std::size_t i = 0; i < count; ++i) table.get(indices[i], x.re[start + i], x.im[start + i]);
    poller.count(kTermsPerSnap * count);
  }
}

// Lookups by resolution and by phase, shared by the codebooks of one call
// and grown only as far as they are needed. Between codebooks every mark is
// clear and every section_of entry is kNoSection.
struct BookScratch {
  std::vector<std::uint32_t> section_of;  // by resolution, once a book has many
  std::vector<std::uint8_t> marked;       // by phase
  std::vector<std::uint16_t> slot;        // by phase: its position in the section
};

// Up to this many resolutions in a codebook are told apart by a linear search.
constexpr std::size_t kSearchedResolutions = 8;

// Each entry's phases are checked against its resolution before they index
// anything.
void require_phases_below_resolution(const RecordList& entries, std::size_t dim, Poller& poller) {
  for (const PhaseHVec* entry : entries) {
    const std::uint16_t* phases = entry->phases.data();
    std::uint16_t largest = 0;
    poller.over(dim, 1, [&](std::size_t first, std::size_t count) {
      for (std::size_t i = first; i < first + count; ++i) largest = std::max(largest, phases[i]);
    });
    if (dim != 0) check_index(largest, entry->n);
    poller.count(1);
  }
}

// The entries of one resolution, and the phases they use.
struct TableSection {
  std::uint32_t n;
  std::vector<std::size_t> members;
};

// The entries grouped by resolution, in order of first use.
std::vector<TableSection> group_by_resolution(const RecordList& entries, BookScratch& scratch, Poller& poller) {
  std::vector<TableSection> sections;
  std::vector<std::uint32_t>& section_of = scratch.section_of;
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
  if (!section_of.empty()) {
    for (const TableSection& section : sections) section_of[section.n] = kNoSection;
  }
  return sections;
}

// The phases the members of a section use, in ascending order.
std::vector<std::uint16_t> used_phases(const RecordList& entries, const TableSection& section, std::size_t dim,
                                       BookScratch& scratch, Poller& poller) {
  std::vector<std::uint8_t>& marked = scratch.marked;
  if (marked.size() < section.n) {
    marked.resize(section.n, 0);
    scratch.slot.resize(section.n);
  }
  std::vector<std::uint16_t> used;
  if (section.members.size() * dim >= 16 * std::size_t{section.n}) {
    // Many times more phases than the resolution has: computing every
    // phasor costs less than marking (a store per phase) which are used.
    used.resize(section.n);
    for (std::uint32_t k = 0; k < section.n; ++k) used[k] = static_cast<std::uint16_t>(k);
  } else if (section.members.size() * dim >= section.n) {
    // At least as many phases as the resolution has: mark them all, then
    // collect the marks in order.
    for (const std::size_t j : section.members) {
      const std::uint16_t* phases = entries[j]->phases.data();
      poller.over(dim, 1, [&](std::size_t first, std::size_t count) {
        for (std::size_t i = first; i < first + count; ++i) marked[phases[i]] = 1;
      });
    }
    for (std::uint32_t k = 0; k < section.n; ++k) {
      if (marked[k]) used.push_back(static_cast<std::uint16_t>(k));
      marked[k] = 0;
    }
  } else {
    // Fewer phases than the resolution has: collect each the first time.
    for (const std::size_t j : section.members) {
      const std::uint16_t* phases = entries[j]->phases.data();
      poller.over(dim, 1, [&](std::size_t first, std::size_t count) {
        for (std::size_t i = first; i < first + count; ++i) {
          if (!marked[phases[i]]) {
            marked[phases[i]] = 1;
            used.push_back(phases[i]);
          }
        }
      });
    }
    for (const std::uint16_t p : used) marked[p] = 0;
    std::sort(used.begin(), used.end());
  }
  return used;
}

// A resolution's table section holds only the phases its entries use, in
// ascending order, and the entries' phases are read as positions in that
// section: each value read is still lattice_phasor(p, n) for the entry's
// own phase p, while the tables stay no larger than the entries (a codebook
// mixing thousands of resolutions near 65536 would otherwise need 16 bytes
// per phase of every one of them). Where every phase is used, the positions
// are the phases themselves and the entries are read as they are.
//
// Fills the book's tables, offsets and, for each entry, where its positions
// are (its own phases, or its rewritten copy in `positions`).
void build_tables(const RecordList& entries, PhasorBook& book, BookScratch& scratch, Poller& poller) {
  const std::size_t dim = book.dim;
  std::vector<const std::uint16_t*>& sources = book.phases;
  PhaseArray& positions = book.positions;
  sources.resize(book.count);
  for (const TableSection& section : group_by_resolution(entries, scratch, poller)) {
    const std::vector<std::uint16_t> used = used_phases(entries, section, dim, scratch, poller);
    const std::size_t offset = book.table_re.size();
    book.table_re.resize(offset + used.size());
    book.table_im.resize(offset + used.size());
    poller.over(used.size(), 8, [&](std::size_t first, std::size_t count) {
      for (std::size_t k = first; k < first + count; ++k) {
        lattice_phasor(used[k], section.n, book.table_re[offset + k], book.table_im[offset + k]);
      }
    });
    const bool every_phase = used.size() == section.n;
    if (!every_phase) {
      for (std::size_t k = 0; k < used.size(); ++k) scratch.slot[used[k]] = static_cast<std::uint16_t>(k);
      if (positions.empty()) positions = PhaseArray(book.count * dim);
    }
    for (const std::size_t j : section.members) {
      book.offsets[j] = static_cast<std::uint32_t>(offset);
      const std::uint16_t* phases = entries[j]->phases.data();
      if (every_phase) {
        sources[j] = phases;
        continue;
      }
      std::uint16_t* out = positions.data() + j * dim;
      poller.over(dim, 1, [&](std::size_t first, std::size_t count) {
        for (std::size_t i = first; i < first + count; ++i) out[i] = scratch.slot[phases[i]];
      });
      sources[j] = out;
    }
  }
  // Lanes and tile components past the entries read position 0 of their
  // section; an empty table still has one entry for them to read.
  if (book.table_re.empty()) {
    book.table_re.push_back(1.0);
    book.table_im.push_back(0.0);
  }
  book.table_pairs.resize(2 * book.table_re.size());
  for (std::size_t k = 0; k < book.table_re.size(); ++k) {
    book.table_pairs[2 * k] = book.table_re[k];
    book.table_pairs[2 * k + 1] = book.table_im[k];
  }
}

// The lane layout for the dot products, kEntryLanes entries side by side,
// made only where the kernels read it; every position is written. Lanes past
// the last entry hold position 0: a valid table index whose sums are dropped.
void lay_out_lanes(PhasorBook& book, Poller& poller) {
  if (book.table_re.size() > kernels().lanes_table_limit) return;
  const std::size_t dim = book.dim;
  const std::size_t groups = (book.count + kEntryLanes - 1) / kEntryLanes;
  book.lanes = PhaseArray(groups * kEntryLanes * dim);
  for (std::size_t g = 0; g < groups; ++g) {
    std::uint16_t* out = book.lanes.data() + g * dim * kEntryLanes;
    const std::size_t present = std::min(kEntryLanes, book.count - g * kEntryLanes);
    const std::uint16_t* sources[kEntryLanes] = {};
    for (std::size_t l = 0; l < present; ++l) sources[l] = book.phases[g * kEntryLanes + l];
    poller.over(dim, kEntryLanes, [&](std::size_t first, std::size_t count) {
      if (present == kEntryLanes) {
        for (std::size_t i = first; i < first + count; ++i) {
          for (std::size_t l = 0; l < kEntryLanes; ++l) out[i * kEntryLanes + l] = sources[l][i];
        }
      } else {
        for (std::size_t i = first; i < first + count; ++i) {
          for (std::size_t l = 0; l < kEntryLanes; ++l) out[i * kEntryLanes + l] = l < present ? sources[l][i] : 0;
        }
      }
    });
  }
}

PhasorBook to_phasor_book(const RecordList& entries, std::size_t dim, BookScratch& scratch, Poller& poller) {
  PhasorBook book;
  book.count = entries.size();
  book.dim = dim;
  const std::size_t groups = (book.count + kEntryLanes - 1) / kEntryLanes;
  book.offsets.assign(groups * kEntryLanes, 0);
  require_phases_below_resolution(entries, dim, poller);
  build_tables(entries, book, scratch, poller);
  lay_out_lanes(book, poller);
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

// The raw dot product of every entry with w, in entry order: each one is a
// strictly sequential sum over ascending components, kEntryLanes entries at
// a time side by side. A group's sums start at +0.0 and, where its
// components take more than one call, each call continues from them.
void dot_all(const PhasorBook& book, const PhasorVec& w, std::vector<double>& out, Poller& poller) {
  const std::size_t dim = book.dim;
  const std::size_t groups = (book.count + kEntryLanes - 1) / kEntryLanes;
  const std::size_t span = components_per_call(dim, kEntryLanes);
  out.assign(groups * kEntryLanes, 0.0);
  for (std::size_t g = 0; g < groups; ++g) {
    const std::size_t first = g * kEntryLanes;
    const std::size_t present = std::min(kEntryLanes, book.count - first);
    for (std::size_t start = 0; start < dim; start += span) {
      const std::size_t width = std::min(span, dim - start);
      const std::uint16_t* rows[kEntryLanes] = {};
      for (std::size_t l = 0; l < present; ++l) rows[l] = book.phases[first + l] + start;
      const std::uint16_t* lanes =
          book.lanes.empty() ? nullptr : book.lanes.data() + first * dim + start * kEntryLanes;
      kernels().dot_group(lanes, rows, present, book.offsets.data() + first, book.table_re.data(),
                          book.table_im.data(), book.table_pairs.data(), book.table_re.size(),
                          w.re.data() + start, w.im.data() + start, width, out.data() + first);
      poller.count(kEntryLanes * width);
    }
  }
  out.resize(book.count);
}

// sum = the sum, entry by entry in order, of each entry times its weight
// (sum's arrays are reused). Each call of the kernel adds a run of entries
// to a range of components (each component's sum continuing entry by entry
// in order); a range is every component unless even a few dozen entries
// over all of them would be more than a poll's worth.
void superpose(const PhasorBook& book, const double* weights, PhasorVec& sum, Poller& poller) {
  constexpr std::size_t kFewestEntriesPerCall = 64;
  const std::size_t dim = book.dim;
  sum.re.assign(dim, 0.0);
  sum.im.assign(dim, 0.0);
  const std::size_t span = components_per_call(dim, std::min(book.count, kFewestEntriesPerCall));
  const std::size_t step = std::max<std::size_t>(1, kTermsPerPoll / std::max<std::size_t>(1, span));
  std::vector<const std::uint16_t*> rows;
  for (std::size_t start = 0; start < dim; start += span) {
    const std::size_t width = std::min(span, dim - start);
    for (std::size_t first = 0; first < book.count; first += step) {
      const std::size_t count = std::min(step, book.count - first);
      const std::uint16_t* const* phases = book.phases.data() + first;
      if (width != dim) {
        rows.resize(count);
        for (std::size_t j = 0; j < count; ++j) rows[j] = book.phases[first + j] + start;
        phases = rows.data();
      }
      kernels().superpose(phases, book.offsets.data() + first, weights + first, count, book.table_re.data(),
                          book.table_im.data(), book.table_pairs.data(), book.table_re.size(), width,
                          sum.re.data() + start, sum.im.data() + start);
      poller.count(count * width);
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
    dot_all(books[f], w, scratch.dots, poller);
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

Match best_match_polled(const PhasorBook& book, const PhasorVec& estimate, Poller& poller) {
  if (book.count == 0) return {0, 0.0};
  if (book.dim > estimate.size()) fail_index_out_of_bounds(estimate.size(), estimate.size());
  std::vector<double> dots;
  dot_all(book, estimate, dots, poller);
  return best_of(dots, estimate.size());
}

}  // namespace

Match best_match(const PhasorBook& book, const PhasorVec& estimate, InterruptCheck interrupted) {
  Poller poller(interrupted);
  return best_match_polled(book, estimate, poller);
}

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
    BookScratch scratch;
    for (const auto& entries : codebooks) books.push_back(to_phasor_book(entries, dim, scratch, poller));
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
    for (std::size_t f = 0; f < books.size(); ++f) matches[f] = best_match_polled(books[f], estimates[f], poller);
    if (stop.settled(matches) || sweep == max_iter) break;
  }

  // After a sweep the final matches are the ones it ended with: the
  // estimates have not changed since.
  if (sweep == 0) {
    for (std::size_t f = 0; f < books.size(); ++f) matches[f] = best_match_polled(books[f], estimates[f], poller);
  }
  return matches;
}

}  // namespace tesmerine::core
