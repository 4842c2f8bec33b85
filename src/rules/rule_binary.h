// Internal helpers of the rule model's binary form; not for use outside src/rules/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "common/byte_reader.h"
#include "common/byte_writer.h"

namespace vorla::rules_internal {

// One code path for both passes: counts every field, and writes it too when it has a writer.
// This keeps the reported size equal to the bytes written by construction.
class WriteCursor {
 public:
  explicit WriteCursor(ByteWriter* out) : out_(out) {}

  void U32(uint32_t v) {
    if (out_) out_->U32(v);
    size_ += 4;
  }
  void I32(int32_t v) {
    if (out_) out_->I32(v);
    size_ += 4;
  }
  void Utf16z(std::u16string_view s) {
    if (out_) out_->Utf16z(s);
    size_ += 2 * s.size() + 2;
  }
  // Accounts for a nested element that wrote itself (`n` bytes).
  void Add(size_t n) { size_ += n; }

  ByteWriter* out() const { return out_; }
  size_t size() const { return size_; }

 private:
  ByteWriter* out_;
  size_t size_ = 0;
};

// Marks `in` failed for a failure that is not a bounds failure (an unknown type code), so that a
// caller parsing a larger record straight through sees it too. No byte is read.
inline void MarkFailed(ByteReader& in) { in.Skip(std::numeric_limits<size_t>::max()); }

}  // namespace vorla::rules_internal
