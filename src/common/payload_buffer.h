// A payload buffer: a byte count with shared ownership of the bytes. Copying a buffer shares the
// bytes, it never copies them; the bytes go when the last holder goes. A buffer with count 0 or
// no bytes is an absent part. Holders treat the bytes as immutable once the buffer has been handed
// on (to a queue, a message); whoever changes a part makes a new buffer and replaces it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace vorla {

class PayloadBuffer {
 public:
  PayloadBuffer() = default;
  // A new zero-filled buffer of `size` bytes.
  static PayloadBuffer Allocate(uint32_t size) {
    PayloadBuffer b;
    if (size != 0) {
      b.bytes_ = std::shared_ptr<uint8_t[]>(new uint8_t[size]());
      b.size_ = size;
    }
    return b;
  }
  // A new buffer holding a copy of `data`.
  static PayloadBuffer CopyOf(std::span<const uint8_t> data) {
    PayloadBuffer b = Allocate(static_cast<uint32_t>(data.size()));
    if (!data.empty()) std::memcpy(b.bytes_.get(), data.data(), data.size());
    return b;
  }

  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0 || !bytes_; }
  uint8_t* data() { return bytes_.get(); }
  const uint8_t* data() const { return bytes_.get(); }
  std::span<const uint8_t> span() const { return {bytes_.get(), bytes_ ? size_ : 0u}; }
  std::span<uint8_t> mutable_span() { return {bytes_.get(), bytes_ ? size_ : 0u}; }
  // Holders sharing these bytes (for tests of the no-copy rule).
  long use_count() const { return bytes_.use_count(); }

 private:
  std::shared_ptr<uint8_t[]> bytes_;
  uint32_t size_ = 0;
};

}  // namespace vorla
