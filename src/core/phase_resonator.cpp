#include "phase_resonator.hpp"

#include <cmath>

#include "core_error.hpp"

namespace tesmerine::core {
namespace {

// Sentinel for "no previous sweep": no real index equals it.
constexpr std::uint64_t kNoIndex = ~std::uint64_t{0};

PhasorView view(const PhasorVec& v) { return {v.re.data(), v.im.data(), v.size()}; }

PhasorView entry_view(const PhasorBook& book, std::size_t j) {
  const std::size_t offset = j * book.dim;
  return {book.re.data() + offset, book.im.data() + offset, book.dim};
}

void fill_phasors(const PhaseHVec& v, double* re, double* im) {
  const double resolution = static_cast<double>(v.n);
  for (std::size_t i = 0; i < v.phases.size(); ++i) {
    const double angle = (static_cast<double>(v.phases[i]) * kTwoPi) / resolution;
    re[i] = std::cos(angle);
    im[i] = std::sin(angle);
  }
}

PhasorBook to_phasor_book(const std::vector<PhaseHVec>& entries, std::size_t dim) {
  PhasorBook book{entries.size(), dim, {}, {}};
  book.re.resize(entries.size() * dim);
  book.im.resize(entries.size() * dim);
  for (std::size_t j = 0; j < entries.size(); ++j) {
    fill_phasors(entries[j], book.re.data() + j * dim, book.im.data() + j * dim);
  }
  return book;
}

// Every entry must have the composite's dimension. A shorter entry would be
// read past its end while the initial superpositions are summed (reported
// with that entry's length); a longer one would read past the estimate at
// the first dot product against it (reported with the composite's length).
// Checking up front reports exactly those failures without reading outside
// any array.
void require_entry_dimensions(const std::vector<std::vector<PhaseHVec>>& codebooks, std::uint64_t dim) {
  for (const auto& book : codebooks) {
    for (const PhaseHVec& entry : book) {
      if (entry.dim < dim) fail_index_out_of_bounds(entry.dim, entry.dim);
    }
  }
  for (const auto& book : codebooks) {
    for (const PhaseHVec& entry : book) {
      if (entry.dim > dim) fail_index_out_of_bounds(dim, dim);
    }
  }
}

PhasorVec zero_phasors(std::size_t dim) {
  return {std::vector<double>(dim, 0.0), std::vector<double>(dim, 0.0)};
}

// The snapped sum of every entry of the book: the starting estimate.
PhasorVec initial_estimate(const PhasorBook& book, std::size_t dim, std::uint32_t n) {
  PhasorVec sum = zero_phasors(dim);
  for (std::size_t j = 0; j < book.count; ++j) {
    const PhasorView e = entry_view(book, j);
    for (std::size_t i = 0; i < dim; ++i) {
      sum.re[i] = sum.re[i] + e.re[i];
      sum.im[i] = sum.im[i] + e.im[i];
    }
  }
  snap_to_lattice(sum, n);
  return sum;
}

// w = w * conj(e), componentwise.
void unbind_estimate(PhasorVec& w, const PhasorVec& e) {
  for (std::size_t i = 0; i < w.size(); ++i) {
    const double r = w.re[i];
    const double m = w.im[i];
    w.re[i] = (r * e.re[i]) + (m * e.im[i]);
    w.im[i] = (m * e.re[i]) - (r * e.im[i]);
  }
}

// Sum of the book's entries, each weighted by its raw dot product with w.
PhasorVec weighted_superposition(const PhasorBook& book, const PhasorVec& w) {
  PhasorVec sum = zero_phasors(w.size());
  for (std::size_t j = 0; j < book.count; ++j) {
    const PhasorView e = entry_view(book, j);
    const double weight = phasor_dot(e, view(w));
    for (std::size_t i = 0; i < sum.size(); ++i) {
      sum.re[i] = sum.re[i] + (weight * e.re[i]);
      sum.im[i] = sum.im[i] + (weight * e.im[i]);
    }
  }
  return sum;
}

}  // namespace

PhasorVec to_phasors(const PhaseHVec& v) {
  PhasorVec out = zero_phasors(v.phases.size());
  fill_phasors(v, out.re.data(), out.im.data());
  return out;
}

void snap_to_lattice(PhasorVec& x, std::uint32_t n) {
  const double resolution = static_cast<double>(n);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double theta = std::atan2(x.im[i], x.re[i]);
    const std::uint32_t k = angle_to_phase_index(theta, n);
    const double angle = (static_cast<double>(k) * kTwoPi) / resolution;
    x.re[i] = std::cos(angle);
    x.im[i] = std::sin(angle);
  }
}

double phasor_dot(PhasorView a, PhasorView b) {
  if (a.size > b.size) fail_index_out_of_bounds(b.size, b.size);
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size; ++i) {
    sum = sum + ((a.re[i] * b.re[i]) + (a.im[i] * b.im[i]));
  }
  return sum;
}

Match best_match(const PhasorBook& book, const PhasorVec& estimate) {
  if (book.count == 0) return {0, 0.0};
  const double divisor = static_cast<double>(estimate.size() == 0 ? 1 : estimate.size());
  Match best{0, phasor_dot(entry_view(book, 0), view(estimate)) / divisor};
  for (std::size_t j = 1; j < book.count; ++j) {
    const double sim = phasor_dot(entry_view(book, j), view(estimate)) / divisor;
    if (best.similarity <= sim) best = {j, sim};
  }
  return best;
}

std::vector<Match> factorize(const PhaseHVec& composite,
                             const std::vector<std::vector<PhaseHVec>>& codebooks,
                             std::uint64_t max_iter) {
  const std::size_t dim = composite.phases.size();
  const std::uint32_t n = composite.n;
  const std::size_t factors = codebooks.size();
  require_entry_dimensions(codebooks, dim);

  std::vector<PhasorBook> books;
  books.reserve(factors);
  for (const auto& entries : codebooks) books.push_back(to_phasor_book(entries, dim));
  const PhasorVec composite_phasors = to_phasors(composite);
  if (factors == 0) return {};

  std::vector<PhasorVec> estimates;
  estimates.reserve(factors);
  for (const PhasorBook& book : books) estimates.push_back(initial_estimate(book, dim, n));

  std::vector<std::uint64_t> previous(factors, kNoIndex);
  std::vector<std::uint64_t> current(factors, kNoIndex);
  std::int32_t stable_count = 0;
  std::uint64_t sweep = 0;
  while (max_iter != 0) {
    ++sweep;
    for (std::size_t f = 0; f < factors; ++f) {
      PhasorVec w = composite_phasors;
      for (std::size_t g = 0; g < factors; ++g) {
        if (g != f) unbind_estimate(w, estimates[g]);
      }
      PhasorVec next = weighted_superposition(books[f], w);
      snap_to_lattice(next, n);
      estimates[f] = std::move(next);
    }
    for (std::size_t f = 0; f < factors; ++f) current[f] = best_match(books[f], estimates[f]).index;
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

  std::vector<Match> result;
  result.reserve(factors);
  for (std::size_t f = 0; f < factors; ++f) result.push_back(best_match(books[f], estimates[f]));
  return result;
}

}  // namespace tesmerine::core
