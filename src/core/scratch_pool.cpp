#include "core/scratch_pool.hpp"

#include <mutex>
#include <new>
#include <utility>

namespace tesmerine::core {
namespace {

// A few arrays, none larger than kLargestKept, kept for the next call.
constexpr std::size_t kSlots = 8;
constexpr std::size_t kLargestKept = std::size_t{16} << 20;

struct Kept {
  std::unique_ptr<std::uint8_t[]> storage;
  std::size_t capacity = 0;
};

class ScratchPool {
 public:
  // Storage of at least `size` bytes: the smallest kept array that is large
  // enough, or none (capacity 0).
  Kept take(std::size_t size) {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return {};
    Kept* best = nullptr;
    for (Kept& slot : slots_) {
      if (slot.capacity >= size && (best == nullptr || slot.capacity < best->capacity)) best = &slot;
    }
    return best != nullptr ? std::exchange(*best, Kept{}) : Kept{};
  }

  // Keeps the storage in a free slot, or in place of a smaller array;
  // otherwise it is released.
  void give(Kept kept) {
    if (kept.capacity == 0 || kept.capacity > kLargestKept) return;
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return;
    Kept* smallest = &slots_[0];
    for (Kept& slot : slots_) {
      if (slot.capacity < smallest->capacity) smallest = &slot;
    }
    if (smallest->capacity < kept.capacity) std::swap(*smallest, kept);
  }

 private:
  std::mutex mutex_;
  Kept slots_[kSlots];
};

ScratchPool& pool() {
  // Never destroyed: a thread ended while the process exits may still be
  // handing its storage back.
  static ScratchPool* const instance = new ScratchPool;
  return *instance;
}

}  // namespace

PooledBytes::PooledBytes(std::size_t size) : size_(size) {
  if (size == 0) return;
  Kept kept = pool().take(size);
  if (kept.capacity == 0) kept = {std::unique_ptr<std::uint8_t[]>(new std::uint8_t[size]), size};
  storage_ = std::move(kept.storage);
  capacity_ = kept.capacity;
}

PooledBytes::PooledBytes(PooledBytes&& other) noexcept
    : storage_(std::move(other.storage_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

PooledBytes& PooledBytes::operator=(PooledBytes&& other) noexcept {
  PooledBytes moved(std::move(other));
  std::swap(storage_, moved.storage_);
  std::swap(size_, moved.size_);
  std::swap(capacity_, moved.capacity_);
  return *this;
}

PooledBytes::~PooledBytes() {
  if (storage_) pool().give({std::move(storage_), capacity_});
}

}  // namespace tesmerine::core
