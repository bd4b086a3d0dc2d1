// Scratch storage kept from one call to the next. A resonator call lays its
// codebooks out again in every call (nothing computed is kept), but the
// memory for those layouts is taken from here and given back at the end:
// fresh pages from the system cost more than laying out small codebooks.
// A call that finds the pool busy or empty (another thread, or a call made
// from a signal handler while one is running) gets new storage, and only a
// little is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tesmerine::core {

// An uninitialised array of bytes whose storage goes back to the pool when
// it is destroyed.
class PooledBytes {
 public:
  PooledBytes() noexcept = default;
  explicit PooledBytes(std::size_t size);
  PooledBytes(PooledBytes&& other) noexcept;
  PooledBytes& operator=(PooledBytes&& other) noexcept;
  PooledBytes(const PooledBytes&) = delete;
  PooledBytes& operator=(const PooledBytes&) = delete;
  ~PooledBytes();

  std::uint8_t* data() const noexcept { return storage_.get(); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

 private:
  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tesmerine::core
