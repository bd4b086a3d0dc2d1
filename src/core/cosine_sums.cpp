#include "core/cosine_sums.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>

#include "core/blocks.hpp"
#include "core/core_error.hpp"
#include "core/kernels/kernels.hpp"
#include "core/phase_constants.hpp"

namespace tesmerine::core {
namespace {

std::size_t table_size(std::uint32_t n) { return 2 * std::size_t{n} - 1; }

// One cos per position: the angles of a block are formed side by side
// (signed differences, not reduced mod n: -1 and n - 1 are different
// angles), then their cosines are added one at a time in index order.
double sum_one_cos_each(const std::uint16_t* a, const std::uint16_t* b, std::size_t len, std::uint32_t n,
                        Poller& poller) {
  const double resolution = static_cast<double>(n);
  double angles[kBlock];
  double sum = 0.0;
  poller.over(len, 1, [&](std::size_t first, std::size_t length) {
    for_each_block(first, first + length, [&](std::size_t start, std::size_t count) {
      kernels().difference_angles(a + start, b + start, angles, count, resolution);
      for (std::size_t i = 0; i < count; ++i) sum += std::cos(angles[i]);
    });
  });
  return sum;
}

// table[d + n - 1] = cos(x) for every difference d in (-n, n), x formed
// exactly as sum_one_cos_each forms it: (double)d is the exact difference of
// the two converted phases, then the product with 2pi, then the quotient.
void fill_cosines(double* table, std::uint32_t n) {
  const double resolution = static_cast<double>(n);
  const std::int32_t top = static_cast<std::int32_t>(n) - 1;
  for (std::int32_t d = -top; d <= top; ++d) {
    table[d + top] = std::cos((static_cast<double>(d) * kTwoPi) / resolution);
  }
}

using CosineTable = std::shared_ptr<const double[]>;

CosineTable new_table(std::uint32_t n) {
  std::unique_ptr<double[]> table(new (std::nothrow) double[table_size(n)]);
  if (table) fill_cosines(table.get(), n);
  return CosineTable(std::move(table));
}

// The cosines looked up by difference and added one at a time in index
// order. Every phase is checked against n first, so that no lookup can
// leave the table.
double add_cosines(const double* centre, const std::uint16_t* a, const std::uint16_t* b, std::size_t len, double sum) {
  for (std::size_t i = 0; i < len; ++i) sum += centre[static_cast<std::int32_t>(a[i]) - static_cast<std::int32_t>(b[i])];
  return sum;
}

double sum_by_table(const double* table, const std::uint16_t* a, const std::uint16_t* b, std::size_t len,
                    std::uint32_t n, Poller& poller) {
  std::uint16_t largest = 0;
  poller.over(len, 1, [&](std::size_t first, std::size_t count) {
    largest = std::max({largest, largest_of(a + first, count), largest_of(b + first, count)});
  });
  if (len != 0) check_index(largest, n);
  const double* centre = table + (n - 1);
  double sum = 0.0;
  poller.over(len, 1, [&](std::size_t first, std::size_t count) {
    sum = add_cosines(centre, a + first, b + first, count, sum);
  });
  return sum;
}

class CosineCache {
 public:
  // The cached table of n, or null: null if the cache is busy, or if n's
  // positions computed one cos each have not yet reached the size of its
  // table (len of them are counted here; the caller then computes them so).
  // The table stays in the cache while `lock` is held; a copy of the share
  // keeps it alive after the lock is given back.
  const CosineTable* find(std::uint32_t n, std::size_t len, std::unique_lock<std::mutex>& lock) {
    lock = std::unique_lock<std::mutex>(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return nullptr;
    Slot* slot = nullptr;
    for (Slot& s : slots_) {
      if (s.n == n) slot = &s;
    }
    if (slot == nullptr) {
      slot = &slots_[0];
      for (Slot& s : slots_) {
        if (s.last_use < slot->last_use) slot = &s;
      }
      *slot = Slot{n, 0, 0, nullptr};
    }
    slot->last_use = ++clock_;
    if (!slot->table) {
      slot->demand += std::min<std::size_t>(len, table_size(n));
      if (slot->demand >= table_size(n)) slot->table = new_table(n);
    }
    return slot->table ? &slot->table : nullptr;
  }

 private:
  struct Slot {
    std::uint32_t n;
    std::uint64_t last_use;
    std::size_t demand;
    CosineTable table;
  };
  std::mutex mutex_;
  std::uint64_t clock_ = 0;
  // n = 0 marks a free slot (no resolution is 0).
  Slot slots_[kCosineCacheSlots] = {};
};

CosineCache& cosine_cache() {
  static CosineCache cache;
  return cache;
}

}  // namespace

double sum_of_cosines(const std::uint16_t* a, const std::uint16_t* b, std::size_t len, std::uint32_t n,
                      InterruptCheck interrupted) {
  Poller poller(interrupted);
  if (n <= kCachedCosineResolution) {
    std::unique_lock<std::mutex> lock;
    if (const CosineTable* cached = cosine_cache().find(n, len, lock)) {
      // A sum too short to poll (its two passes count 2 * len terms) reads
      // the table with the lock held. A longer one takes a share and gives
      // the lock back first: a poll may run Python code, even another
      // similarity in this thread, which must find the cache free.
      if (2 * len < kTermsPerPoll) return sum_by_table(cached->get(), a, b, len, n, poller);
      const CosineTable table = *cached;
      lock.unlock();
      return sum_by_table(table.get(), a, b, len, n, poller);
    }
  }
  // A table for this call alone: 2n - 1 cos calls and len lookups against
  // len cos calls, so only where the table is well below len.
  if (4 * table_size(n) <= 3 * len) {
    if (const CosineTable table = new_table(n)) return sum_by_table(table.get(), a, b, len, n, poller);
  }
  return sum_one_cos_each(a, b, len, n, poller);
}

}  // namespace tesmerine::core
