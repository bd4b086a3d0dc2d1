// The phase vector record and its algebra: seeded generation, binding,
// unbinding, similarity and bundling, on plain data.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "core/interrupt.hpp"
#include "core/phase_constants.hpp"

namespace tesmerine::core {

// An allocator whose value-initialisation leaves phase entries unset: every
// operation that makes a record writes each entry before the record is
// seen, so the zero fill of a plain vector would only be overwritten.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() noexcept = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
  }
};

using PhaseArray = std::vector<std::uint16_t, UninitialisedAllocator<std::uint16_t>>;

// `dim` phase indices in [0, n), index k standing for the angle 2*pi*k/n.
// Records are never changed after they are made; `phases` always holds
// exactly `dim` entries and 2 <= n <= 65536.
struct PhaseHVec {
  PhaseArray phases;
  std::uint64_t dim = 0;
  std::uint32_t n = kMinResolution;
};

// Throws UserError(kMismatchMessage) unless a and b share dim and n.
void require_compatible(const PhaseHVec& a, const PhaseHVec& b);

// Every operation polls `interrupted` (interrupt.hpp) as it goes, when
// given one.

// Phase addition mod n.
PhaseHVec bind(const PhaseHVec& a, const PhaseHVec& b, InterruptCheck interrupted = nullptr);
// Phase subtraction mod n: (n - b + a) mod n.
PhaseHVec unbind(const PhaseHVec& a, const PhaseHVec& b, InterruptCheck interrupted = nullptr);

// Counter-based seeded vector: phase i depends only on seed, i and n.
PhaseHVec random(std::uint64_t dim, std::uint32_t n, std::uint64_t seed, InterruptCheck interrupted = nullptr);

// Mean cosine of the phase differences, summed strictly in index order.
double similarity(const PhaseHVec& a, const PhaseHVec& b, InterruptCheck interrupted = nullptr);

// Records read in place: the caller keeps each one alive (and, records being
// immutable, unchanged) for the length of the call.
using RecordList = std::vector<const PhaseHVec*>;

// Direction of the summed unit phasors at each position, through fixed-point
// tables and exact integer sums, so the result ignores the order of items.
PhaseHVec bundle(const RecordList& items, InterruptCheck interrupted = nullptr);

}  // namespace tesmerine::core
