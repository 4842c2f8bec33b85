// A payload buffer: a byte count with shared ownership of the bytes. Copying a buffer shares the
// bytes, it never copies them; the bytes go when the last holder goes. A buffer with count 0 or
// no bytes is an absent part. Holders treat the bytes as immutable once the buffer has been handed
// on (to a queue, a message); whoever changes a part makes a new buffer and replaces it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>

namespace vorla {

class PayloadBuffer {
 public:
  PayloadBuffer() = default;
  // A new zero-filled buffer of `size` bytes. For small buffers of the system's own making: when
  // even those cannot be had, std::bad_alloc ends the operation.
  static PayloadBuffer Allocate(uint32_t size) {
    PayloadBuffer b = TryAllocate(size);
    if (size != 0 && b.empty()) throw std::bad_alloc();
    return b;
  }
  // A new buffer holding a copy of `data` (as Allocate).
  static PayloadBuffer CopyOf(std::span<const uint8_t> data) {
    PayloadBuffer b = TryCopyOf(data);
    if (!data.empty() && b.empty()) throw std::bad_alloc();
    return b;
  }
  // As Allocate and CopyOf, but never throwing: an empty buffer when the bytes cannot be had.
  // For frames and for sizes a peer chooses, whose callers report the failure themselves (this
  // also runs inside C libraries' callbacks, which must never be unwound through).
  static PayloadBuffer TryAllocate(uint32_t size) noexcept {
    PayloadBuffer b;
    if (size == 0 || AllocationRefused(size)) return b;
    uint8_t* bytes = new (std::nothrow) uint8_t[size]();
    if (bytes == nullptr) return b;
    try {
      b.bytes_ = std::shared_ptr<uint8_t[]>(bytes);  // deletes the bytes if this throws
    } catch (const std::bad_alloc&) {
      return b;
    }
    b.size_ = size;
    return b;
  }
  static PayloadBuffer TryCopyOf(std::span<const uint8_t> data) noexcept {
    if (data.size() > UINT32_MAX) return {};
    PayloadBuffer b = TryAllocate(static_cast<uint32_t>(data.size()));
    if (!b.empty()) std::memcpy(b.bytes_.get(), data.data(), data.size());
    return b;
  }

  // Tests: every allocation of at least `bytes` fails as if memory had run out (0: none fails).
  static void RefuseAllocationsFromForTesting(uint32_t bytes) { RefusedFrom().store(bytes); }

  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0 || !bytes_; }
  uint8_t* data() { return bytes_.get(); }
  const uint8_t* data() const { return bytes_.get(); }
  std::span<const uint8_t> span() const { return {bytes_.get(), bytes_ ? size_ : 0u}; }
  std::span<uint8_t> mutable_span() { return {bytes_.get(), bytes_ ? size_ : 0u}; }
  // Holders sharing these bytes (for tests of the no-copy rule).
  long use_count() const { return bytes_.use_count(); }

 private:
  static std::atomic<uint32_t>& RefusedFrom() {
    static std::atomic<uint32_t> from{0};
    return from;
  }
  static bool AllocationRefused(uint32_t size) {
    const uint32_t from = RefusedFrom().load(std::memory_order_relaxed);
    return from != 0 && size >= from;
  }

  std::shared_ptr<uint8_t[]> bytes_;
  uint32_t size_ = 0;
};

}  // namespace vorla
