#include "core/phase_hvec.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

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

// Fixed-point unit circle: entries are cos/sin of 2*pi*k/n scaled by 2^14.
struct PhasorTables {
  std::vector<std::int64_t> cos_table;
  std::vector<std::int64_t> sin_table;
};

PhasorTables build_phasor_tables(std::uint32_t n) {
  constexpr double kScale = 16384.0;
  const double resolution = static_cast<double>(n);
  PhasorTables tables{std::vector<std::int64_t>(n), std::vector<std::int64_t>(n)};
  for (std::uint32_t k = 0; k < n; ++k) {
    // The product first, then the division: each rounded by itself.
    const double product = static_cast<double>(k) * kTwoPi;
    const double angle = product / resolution;
    tables.cos_table[k] = round_half_away(std::cos(angle) * kScale);
    tables.sin_table[k] = round_half_away(std::sin(angle) * kScale);
  }
  return tables;
}

}  // namespace

void require_compatible(const PhaseHVec& a, const PhaseHVec& b) {
  if (a.dim != b.dim || a.n != b.n) throw UserError(kMismatchMessage);
}

PhaseHVec bind(const PhaseHVec& a, const PhaseHVec& b) {
  require_compatible(a, b);
  PhaseHVec out{allocate_phases(a.dim), a.dim, a.n};
  const std::uint32_t n = a.n;
  const std::size_t len = std::min(a.phases.size(), b.phases.size());
  kernels().bind(a.phases.data(), b.phases.data(), out.phases.data(), len, n);
  return out;
}

PhaseHVec unbind(const PhaseHVec& a, const PhaseHVec& b) {
  require_compatible(a, b);
  PhaseHVec out{allocate_phases(a.dim), a.dim, a.n};
  const std::uint32_t n = a.n;
  const std::size_t len = std::min(a.phases.size(), b.phases.size());
  kernels().unbind(a.phases.data(), b.phases.data(), out.phases.data(), len, n);
  return out;
}

PhaseHVec random(std::uint64_t dim, std::uint32_t n, std::uint64_t seed) {
  // Unsigned wrap-around makes this one comparison cover n < 2 and n > 65536.
  if (n - kMinResolution >= kMaxResolution - 1) throw UserError(kResolutionMessage);
  PhaseHVec out{allocate_phases(dim), dim, n};
  // The kernel reduces each mixed word mod n exactly, without a divide.
  kernels().random(out.phases.data(), out.phases.size(), seed * kSeedMultiplier, n);
  return out;
}

double similarity(const PhaseHVec& a, const PhaseHVec& b) {
  require_compatible(a, b);
  if (a.dim == 0) return 1.0;
  const std::size_t len = std::min(a.phases.size(), b.phases.size());
  return sum_of_cosines(a.phases.data(), b.phases.data(), len, a.n) / static_cast<double>(a.dim);
}

PhaseHVec bundle(const RecordList& items) {
  if (items.empty()) throw UserError(kEmptyBundleMessage);
  const std::uint64_t dim = items.front()->dim;
  const std::uint32_t n = items.front()->n;
  const PhasorTables tables = build_phasor_tables(n);

  // Each table pair is packed into one word as two biased 32-bit halves,
  // (C + 2^14) | (S + 2^14) << 32, both in [0, 2^15]: one 64-bit addition
  // then adds both, and neither half can carry into the other for up to
  // 2^16 items. Every 2^16 items the halves are unpacked, unbiased and added
  // to the exact sums, which wrap as two's complement.
  constexpr std::int64_t kBias = 16384;
  constexpr std::size_t kItemsPerBlock = std::size_t{1} << 16;
  // Room for every 16-bit phase, so that even a phase of n or more (which a
  // record never holds) reads inside the allocation before it is refused;
  // only the first n words are ever written.
  const std::unique_ptr<std::uint64_t[]> packed(new std::uint64_t[std::size_t{1} << 16]);
  for (std::uint32_t k = 0; k < n; ++k) {
    packed[k] = static_cast<std::uint64_t>(tables.cos_table[k] + kBias) |
                (static_cast<std::uint64_t>(tables.sin_table[k] + kBias) << 32);
  }

  const std::size_t len = static_cast<std::size_t>(dim);
  std::vector<std::uint64_t> block_sums(len, 0);
  std::vector<std::uint64_t> cos_sums, sin_sums;  // only for more than one block
  std::size_t in_block = 0;
  const auto flush = [&] {
    if (cos_sums.empty()) {
      cos_sums.assign(len, 0);
      sin_sums.assign(len, 0);
    }
    const std::uint64_t bias = static_cast<std::uint64_t>(kBias) * in_block;
    for (std::size_t i = 0; i < len; ++i) {
      cos_sums[i] += (block_sums[i] & 0xFFFFFFFFull) - bias;
      sin_sums[i] += (block_sums[i] >> 32) - bias;
      block_sums[i] = 0;
    }
    in_block = 0;
  };
  // The assertions, item by item in list order, before anything is read.
  for (const PhaseHVec* record : items) {
    const PhaseHVec& item = *record;
    if (item.dim != dim) fail_bundle_assertion("dimension", item.dim, dim);
    if (item.n != n) fail_bundle_assertion("resolution", item.n, n);
    // A record always holds dim phases; refuse to read past a short one.
    if (item.phases.size() < len) fail_index_out_of_bounds(item.phases.size(), item.phases.size());
  }
  // The fold runs over blocks of positions, every item of a block of items
  // in turn, so that a block's sums stay in the nearest cache; integer sums
  // do not depend on the order in which they are formed.
  constexpr std::size_t kPositionBlock = 1024;
  std::vector<std::uint16_t> largest(items.size(), 0);
  std::vector<const std::uint16_t*> phases(items.size());
  for (std::size_t j = 0; j < items.size(); ++j) phases[j] = items[j]->phases.data();
  for (std::size_t first = 0; first < items.size(); first += kItemsPerBlock) {
    if (first != 0) flush();
    const std::size_t count = std::min(items.size() - first, kItemsPerBlock);
    for (std::size_t start = 0; start < len; start += kPositionBlock) {
      kernels().gather_add(phases.data() + first, count, start, packed.get(), n, block_sums.data() + start,
                           std::min(kPositionBlock, len - start), largest.data() + first);
    }
    in_block = count;
  }
  // Every phase read was a table index: each must be below n (a record's
  // phases always are; reading stayed inside the table's 2^16 words).
  if (len != 0) {
    for (const std::uint16_t top : largest) check_index(top, n);
  }

  PhaseHVec out{allocate_phases(dim), dim, n};
  const std::uint64_t bias = static_cast<std::uint64_t>(kBias) * in_block;
  // Each position's direction, a block of positions at a time.
  constexpr std::size_t kBlock = 256;
  double ys[kBlock], xs[kBlock];
  std::uint32_t indices[kBlock];
  for (std::size_t start = 0; start < len; start += kBlock) {
    const std::size_t count = std::min(kBlock, len - start);
    for (std::size_t c = 0; c < count; ++c) {
      const std::size_t i = start + c;
      std::uint64_t cos_sum = (block_sums[i] & 0xFFFFFFFFull) - bias;
      std::uint64_t sin_sum = (block_sums[i] >> 32) - bias;
      if (!cos_sums.empty()) {
        cos_sum += cos_sums[i];
        sin_sum += sin_sums[i];
      }
      ys[c] = static_cast<double>(static_cast<std::int64_t>(sin_sum));
      xs[c] = static_cast<double>(static_cast<std::int64_t>(cos_sum));
    }
    angles_to_phase_indices(ys, xs, indices, count, n);
    for (std::size_t c = 0; c < count; ++c) out.phases[start + c] = static_cast<std::uint16_t>(indices[c]);
  }
  return out;
}

}  // namespace tesmerine::core
