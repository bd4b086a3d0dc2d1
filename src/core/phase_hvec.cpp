#include "core/phase_hvec.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "core/blocks.hpp"
#include "core/core_error.hpp"
#include "core/cosine_sums.hpp"
#include "core/kernels/kernels.hpp"
#include "core/phase_rounding.hpp"

namespace tesmerine::core {
namespace {

// The largest phase count whose array (2 bytes a phase) still fits in the
// largest object size, 2^63 - 1 bytes.
constexpr std::uint64_t kMaxDim = 0x3FFFFFFFFFFFFFFFull;

// The array of a new record, its entries not yet set: the caller writes
// every one of them.
PhaseArray allocate_phases(std::uint64_t dim) {
  if (dim > kMaxDim) throw InternalFailure("capacity overflow");
  return PhaseArray(static_cast<std::size_t>(dim));
}


[[noreturn]] void fail_bundle_assertion(const char* what, std::uint64_t left, std::uint64_t right) {
  throw InternalFailure(std::string("assertion `left == right` failed: phase-vector ") + what +
                        " mismatch in bundle\n  left: " + std::to_string(left) +
                        "\n right: " + std::to_string(right));
}

// The fixed-point unit circle, cos and sin of 2*pi*k/n scaled by 2^14 and
// rounded half away from zero, each pair packed into one word as two biased
// 32-bit halves, (C + 2^14) | (S + 2^14) << 32, both in [0, 2^15]: one 64-bit
// addition then adds both, and neither half can carry into the other for
// up to 2^16 items.
class PackedPhasorTable {
 public:
  static constexpr std::int64_t kBias = 16384;

  explicit PackedPhasorTable(std::uint32_t n)
      // Room for every 16-bit phase, so that even a phase of n or more (which
      // a record never holds) reads inside the allocation before it is
      // refused; only the first n words are ever written.
      : n_(n), words_(new std::uint64_t[std::size_t{1} << 16]) {
    constexpr double kScale = 16384.0;
    const double resolution = static_cast<double>(n);
    for (std::uint32_t k = 0; k < n; ++k) {
      // The product first, then the division: each rounded by itself.
      const double product = static_cast<double>(k) * kTwoPi;
      const double angle = product / resolution;
      const std::int64_t c = round_half_away(std::cos(angle) * kScale);
      const std::int64_t s = round_half_away(std::sin(angle) * kScale);
      words_[k] = static_cast<std::uint64_t>(c + kBias) | (static_cast<std::uint64_t>(s + kBias) << 32);
    }
  }

  std::uint32_t n() const { return n_; }
  const std::uint64_t* words() const { return words_.get(); }

 private:
  std::uint32_t n_;
  std::unique_ptr<std::uint64_t[]> words_;
};

// Every item must match the first in dimension, then in resolution, checked
// item by item in list order before anything is read.
void require_bundle_items(const RecordList& items, std::uint64_t dim, std::uint32_t n, Poller& poller) {
  const std::size_t len = static_cast<std::size_t>(dim);
  poller.over(items.size(), 1, [&](std::size_t first, std::size_t count) {
    for (std::size_t j = first; j < first + count; ++j) {
      const PhaseHVec& item = *items[j];
      if (item.dim != dim) fail_bundle_assertion("dimension", item.dim, dim);
      if (item.n != n) fail_bundle_assertion("resolution", item.n, n);
      // A record always holds dim phases; refuse to read past a short one.
      if (item.phases.size() < len) fail_index_out_of_bounds(item.phases.size(), item.phases.size());
    }
  });
}

// The exact sums of the items' fixed-point cosines and sines at each
// position. Items are added to packed words in blocks of up to 2^16; after
// each block but the last the halves are unpacked, unbiased and added to
// the full sums, which wrap as two's complement.
class PhasorSums {
 public:
  explicit PhasorSums(std::size_t len) : len_(len), packed_(len, 0) {}

  // Adds every item's table words, in list order. The fold runs over blocks
  // of positions, every item of a block of items in turn, so that a block's
  // sums stay in the nearest cache; integer sums do not depend on the order
  // in which they are formed.
  //
  // Each call of the kernel folds a part of a block of items into a block
  // of positions, about kTermsPerPoll phases, in parts of whole multiples
  // of 256 items (the byte-table fold's unit).
  void fold(const RecordList& items, const PackedPhasorTable& table, Poller& poller) {
    constexpr std::size_t kItemsPerBlock = std::size_t{1} << 16;
    constexpr std::size_t kPositionBlock = 1024;
    constexpr std::size_t kItemUnit = 256;
    std::vector<std::uint16_t> largest(items.size(), 0);
    std::vector<const std::uint16_t*> phases(items.size());
    poller.over(items.size(), 1, [&](std::size_t first, std::size_t count) {
      for (std::size_t j = first; j < first + count; ++j) phases[j] = items[j]->phases.data();
    });
    for (std::size_t first = 0; first < items.size(); first += kItemsPerBlock) {
      if (first != 0) unpack(poller);
      const std::size_t count = std::min(items.size() - first, kItemsPerBlock);
      for (std::size_t start = 0; start < len_; start += kPositionBlock) {
        const std::size_t width = std::min(kPositionBlock, len_ - start);
        const std::size_t part = std::max(kItemUnit, kTermsPerPoll / width / kItemUnit * kItemUnit);
        for (std::size_t k = first; k < first + count; k += part) {
          const std::size_t items_now = std::min(part, first + count - k);
          kernels().gather_add(phases.data() + k, items_now, start, table.words(), table.n(),
                               packed_.data() + start, width, largest.data() + k);
          poller.count(items_now * width);
        }
      }
      in_block_ = count;
    }
    // Every phase read was a table index: each must be below n (a record's
    // phases always are; reading stayed inside the table's 2^16 words).
    if (len_ != 0) {
      for (const std::uint16_t top : largest) check_index(top, table.n());
    }
  }

  // The sums at position i, as signed integers.
  std::int64_t cos_sum(std::size_t i) const { return sum_of(packed_[i] & 0xFFFFFFFFull, cos_, i); }
  std::int64_t sin_sum(std::size_t i) const { return sum_of(packed_[i] >> 32, sin_, i); }

 private:
  std::uint64_t bias() const { return static_cast<std::uint64_t>(PackedPhasorTable::kBias) * in_block_; }

  std::int64_t sum_of(std::uint64_t half, const std::vector<std::uint64_t>& unpacked, std::size_t i) const {
    std::uint64_t sum = half - bias();
    if (!unpacked.empty()) sum += unpacked[i];
    return static_cast<std::int64_t>(sum);
  }

  void unpack(Poller& poller) {
    if (cos_.empty()) {
      cos_.assign(len_, 0);
      sin_.assign(len_, 0);
    }
    poller.over(len_, 1, [&](std::size_t first, std::size_t count) {
      for (std::size_t i = first; i < first + count; ++i) {
        cos_[i] += (packed_[i] & 0xFFFFFFFFull) - bias();
        sin_[i] += (packed_[i] >> 32) - bias();
        packed_[i] = 0;
      }
    });
    in_block_ = 0;
  }

  std::size_t len_;
  std::vector<std::uint64_t> packed_;
  std::vector<std::uint64_t> cos_, sin_;  // only for more than one block of items
  std::size_t in_block_ = 0;
};

// The new record: each position's direction, atan2(sin sum, cos sum), on
// the n-level lattice, a block of positions at a time.
PhaseHVec directions_of(const PhasorSums& sums, std::uint64_t dim, std::uint32_t n, Poller& poller) {
  PhaseHVec out{allocate_phases(dim), dim, n};
  const std::size_t len = static_cast<std::size_t>(dim);
  double ys[kBlock], xs[kBlock];
  std::uint32_t indices[kBlock];
  for_each_block(0, len, [&](std::size_t start, std::size_t count) {
    for (std::size_t c = 0; c < count; ++c) {
      ys[c] = static_cast<double>(sums.sin_sum(start + c));
      xs[c] = static_cast<double>(sums.cos_sum(start + c));
    }
    angles_to_phase_indices(ys, xs, indices, count, n);
    for (std::size_t c = 0; c < count; ++c) out.phases[start + c] = static_cast<std::uint16_t>(indices[c]);
    // A direction costs a few terms' work (an atan2 where the bound cannot
    // settle it).
    poller.count(4 * count);
  });
  return out;
}

}  // namespace

void require_compatible(const PhaseHVec& a, const PhaseHVec& b) {
  if (a.dim != b.dim || a.n != b.n) throw UserError(kMismatchMessage);
}

PhaseHVec bind(const PhaseHVec& a, const PhaseHVec& b, InterruptCheck interrupted) {
  require_compatible(a, b);
  PhaseHVec out{allocate_phases(a.dim), a.dim, a.n};
  const std::uint32_t n = a.n;
  const std::size_t len = std::min(a.phases.size(), b.phases.size());
  Poller(interrupted).over(len, 1, [&](std::size_t first, std::size_t count) {
    kernels().bind(a.phases.data() + first, b.phases.data() + first, out.phases.data() + first, count, n);
  });
  return out;
}

PhaseHVec unbind(const PhaseHVec& a, const PhaseHVec& b, InterruptCheck interrupted) {
  require_compatible(a, b);
  PhaseHVec out{allocate_phases(a.dim), a.dim, a.n};
  const std::uint32_t n = a.n;
  const std::size_t len = std::min(a.phases.size(), b.phases.size());
  Poller(interrupted).over(len, 1, [&](std::size_t first, std::size_t count) {
    kernels().unbind(a.phases.data() + first, b.phases.data() + first, out.phases.data() + first, count, n);
  });
  return out;
}

PhaseHVec random(std::uint64_t dim, std::uint32_t n, std::uint64_t seed, InterruptCheck interrupted) {
  // Unsigned wrap-around makes this one comparison cover n < 2 and n > 65536.
  if (n - kMinResolution >= kMaxResolution - 1) throw UserError(kResolutionMessage);
  PhaseHVec out{allocate_phases(dim), dim, n};
  // The kernel reduces each mixed word mod n exactly, without a divide.
  const std::uint64_t seed_word = seed * kSeedMultiplier;
  Poller(interrupted).over(out.phases.size(), 1, [&](std::size_t first, std::size_t count) {
    kernels().random(out.phases.data() + first, first, count, seed_word, n);
  });
  return out;
}

double similarity(const PhaseHVec& a, const PhaseHVec& b, InterruptCheck interrupted) {
  require_compatible(a, b);
  if (a.dim == 0) return 1.0;
  const std::size_t len = std::min(a.phases.size(), b.phases.size());
  return sum_of_cosines(a.phases.data(), b.phases.data(), len, a.n, interrupted) / static_cast<double>(a.dim);
}

PhaseHVec bundle(const RecordList& items, InterruptCheck interrupted) {
  if (items.empty()) throw UserError(kEmptyBundleMessage);
  const std::uint64_t dim = items.front()->dim;
  const std::uint32_t n = items.front()->n;
  const PackedPhasorTable table(n);
  PhasorSums sums(static_cast<std::size_t>(dim));
  Poller poller(interrupted);
  require_bundle_items(items, dim, n, poller);
  sums.fold(items, table, poller);
  return directions_of(sums, dim, n, poller);
}

}  // namespace tesmerine::core
