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

void snap_with(PhasorVec& x, std::uint32_t n, LatticeTable& table) {
  constexpr std::size_t kBlock = 256;
  std::uint32_t indices[kBlock];
  for (std::size_t start = 0; start < x.size(); start += kBlock) {
    const std::size_t count = std::min(kBlock, x.size() - start);
    angles_to_phase_indices(x.im.data() + start, x.re.data() + start, indices, count, n);
    for (std::size_t i = 0; i < count; ++i) table.get(indices[i], x.re[start + i], x.im[start + i]);
  }
}

PhasorBook to_phasor_book(const RecordList& entries, std::size_t dim) {
  PhasorBook book;
  book.count = entries.size();
  book.dim = dim;
  const std::size_t groups = (book.count + kEntryLanes - 1) / kEntryLanes;
  book.offsets.assign(groups * kEntryLanes, 0);

  // One table section per distinct resolution, in order of first use.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sections;  // (n, offset)
  std::size_t table_size = 0;
  for (std::size_t j = 0; j < book.count; ++j) {
    const std::uint32_t n = entries[j]->n;
    auto found = std::find_if(sections.begin(), sections.end(), [n](const auto& s) { return s.first == n; });
    if (found == sections.end()) {
      sections.emplace_back(n, static_cast<std::uint32_t>(table_size));
      found = sections.end() - 1;
      table_size += n;
    }
    book.offsets[j] = found->second;
  }

  // Where the entries hold few phases for the size of the tables, only the
  // phasors some entry uses are computed; otherwise marking them (a store
  // per phase) costs more than computing every one. Each entry's phases are
  // checked against its resolution before they index anything.
  const bool mark = book.count * dim < 16 * table_size;
  std::vector<std::uint8_t> used(table_size, mark ? 0 : 1);
  for (std::size_t j = 0; j < book.count; ++j) {
    const PhaseHVec& entry = *entries[j];
    const std::uint16_t* phases = entry.phases.data();
    std::uint16_t largest = 0;
    for (std::size_t i = 0; i < dim; ++i) largest = std::max(largest, phases[i]);
    if (dim != 0) check_index(largest, entry.n);
    if (!mark) continue;
    std::uint8_t* marks = used.data() + book.offsets[j];
    for (std::size_t i = 0; i < dim; ++i) marks[phases[i]] = 1;
  }

  // The entries are read in place (the caller keeps the records alive),
  // and copied with each group's entries side by side only for kernels
  // that read them so.
  book.phases.resize(book.count);
  for (std::size_t j = 0; j < book.count; ++j) book.phases[j] = entries[j]->phases.data();
  if (table_size <= kernels().lanes_table_limit) book.lanes = PhaseArray(groups * kEntryLanes * dim);
  for (std::size_t g = 0; g < groups && !book.lanes.empty(); ++g) {
    std::uint16_t* out = book.lanes.data() + g * dim * kEntryLanes;
    const std::size_t present = std::min(kEntryLanes, book.count - g * kEntryLanes);
    const std::uint16_t* sources[kEntryLanes] = {};
    for (std::size_t l = 0; l < present; ++l) sources[l] = book.phases[g * kEntryLanes + l];
    if (present == kEntryLanes) {
      for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t l = 0; l < kEntryLanes; ++l) out[i * kEntryLanes + l] = sources[l][i];
      }
    } else {
      // Lanes past the last entry hold phase 0: a valid table index whose
      // sums are dropped.
      for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t l = 0; l < kEntryLanes; ++l) out[i * kEntryLanes + l] = l < present ? sources[l][i] : 0;
      }
    }
  }
  book.table_re.assign(table_size, 0.0);
  book.table_im.assign(table_size, 0.0);
  for (const auto& [n, offset] : sections) {
    for (std::uint32_t k = 0; k < n; ++k) {
      if (used[offset + k]) lattice_phasor(k, n, book.table_re[offset + k], book.table_im[offset + k]);
    }
  }
  book.table_pairs.resize(2 * table_size);
  for (std::size_t k = 0; k < table_size; ++k) {
    book.table_pairs[2 * k] = book.table_re[k];
    book.table_pairs[2 * k + 1] = book.table_im[k];
  }
  return book;
}

// Every entry must have the composite's dimension. A shorter entry would be
// read past its end while the initial superpositions are summed (reported
// with that entry's length); a longer one would read past the estimate at
// the first dot product against it (reported with the composite's length).
// Checking up front reports exactly those failures without reading outside
// any array.
void require_entry_dimensions(const std::vector<RecordList>& codebooks, std::uint64_t dim) {
  for (const auto& book : codebooks) {
    for (const PhaseHVec* entry : book) {
      if (entry->dim < dim) fail_index_out_of_bounds(entry->dim, entry->dim);
    }
  }
  for (const auto& book : codebooks) {
    for (const PhaseHVec* entry : book) {
      if (entry->dim > dim) fail_index_out_of_bounds(dim, dim);
    }
  }
}

PhasorVec zero_phasors(std::size_t dim) {
  return {std::vector<double>(dim, 0.0), std::vector<double>(dim, 0.0)};
}

// The raw dot product of every entry with w, in entry order: each one is a
// strictly sequential sum over ascending components, kEntryLanes entries at
// a time side by side.
void dot_all(const PhasorBook& book, const PhasorVec& w, std::vector<double>& out) {
  const std::size_t groups = (book.count + kEntryLanes - 1) / kEntryLanes;
  out.resize(groups * kEntryLanes);
  for (std::size_t g = 0; g < groups; ++g) {
    const std::size_t first = g * kEntryLanes;
    const std::uint16_t* lanes = book.lanes.empty() ? nullptr : book.lanes.data() + first * book.dim;
    kernels().dot_group(lanes, book.phases.data() + first, std::min(kEntryLanes, book.count - first),
                        book.offsets.data() + first, book.table_re.data(), book.table_im.data(), book.table_pairs.data(),
                        book.table_re.size(), w.re.data(),
                        w.im.data(), book.dim, out.data() + g * kEntryLanes);
  }
  out.resize(book.count);
}

// sum = the sum, entry by entry in order, of each entry times its weight
// (sum's arrays are reused).
void superpose(const PhasorBook& book, const std::vector<double>& weights, PhasorVec& sum) {
  sum.re.assign(book.dim, 0.0);
  sum.im.assign(book.dim, 0.0);
  kernels().superpose(book.phases.data(), book.offsets.data(), weights.data(), book.count, book.table_re.data(),
                      book.table_im.data(), book.table_pairs.data(), book.table_re.size(), book.dim, sum.re.data(),
                      sum.im.data());
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

}  // namespace

Match best_match(const PhasorBook& book, const PhasorVec& estimate) {
  if (book.count == 0) return {0, 0.0};
  if (book.dim > estimate.size()) fail_index_out_of_bounds(estimate.size(), estimate.size());
  std::vector<double> dots;
  dot_all(book, estimate, dots);
  return best_of(dots, estimate.size());
}

std::vector<Match> factorize(const PhaseHVec& composite,
                             const std::vector<RecordList>& codebooks,
                             std::uint64_t max_iter) {
  const std::size_t dim = composite.phases.size();
  const std::uint32_t n = composite.n;
  const std::size_t factors = codebooks.size();
  require_entry_dimensions(codebooks, dim);

  std::vector<PhasorBook> books;
  books.reserve(factors);
  for (const auto& entries : codebooks) books.push_back(to_phasor_book(entries, dim));
  // The composite and every snapped estimate share the composite's lattice.
  LatticeTable lattice(n);
  PhasorVec composite_phasors = zero_phasors(dim);
  for (std::size_t i = 0; i < dim; ++i) lattice.get(composite.phases[i], composite_phasors.re[i], composite_phasors.im[i]);
  if (factors == 0) return {};

  std::vector<PhasorVec> estimates;
  estimates.reserve(factors);
  for (const PhasorBook& book : books) {
    // 1.0 * x is x exactly: the plain sum of the entries.
    PhasorVec sum;
    superpose(book, std::vector<double>(book.count, 1.0), sum);
    snap_with(sum, n, lattice);
    estimates.push_back(std::move(sum));
  }

  std::vector<std::uint64_t> previous(factors, kNoIndex);
  std::vector<std::uint64_t> current(factors, kNoIndex);
  std::vector<Match> matches(factors);
  std::vector<double> dots;
  PhasorVec w = zero_phasors(dim);
  PhasorVec next;  // each new estimate is made here, then swapped in
  std::int32_t stable_count = 0;
  std::uint64_t sweep = 0;
  while (max_iter != 0) {
    ++sweep;
    for (std::size_t f = 0; f < factors; ++f) {
      w.re = composite_phasors.re;
      w.im = composite_phasors.im;
      for (std::size_t g = 0; g < factors; ++g) {
        if (g != f) kernels().unbind_phasors(w.re.data(), w.im.data(), estimates[g].re.data(), estimates[g].im.data(), dim);
      }
      dot_all(books[f], w, dots);  // the raw weights, neither divided nor clipped
      superpose(books[f], dots, next);
      snap_with(next, n, lattice);
      std::swap(estimates[f], next);
    }
    for (std::size_t f = 0; f < factors; ++f) {
      matches[f] = best_match(books[f], estimates[f]);
      current[f] = matches[f].index;
    }
    // Stop after the first sweep whose indices equal those of the three
    // sweeps before it.
    if (current == previous) {
      if (stable_count > 1) break;
      ++stable_count;
    } else {
      stable_count = 0;
    }
    previous = current;
    if (sweep == max_iter) break;
  }

  // After a sweep the final matches are the ones it ended with: the
  // estimates have not changed since.
  if (sweep == 0) {
    for (std::size_t f = 0; f < factors; ++f) matches[f] = best_match(books[f], estimates[f]);
  }
  return matches;
}

}  // namespace tesmerine::core
