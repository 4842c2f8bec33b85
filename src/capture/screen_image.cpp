#include "capture/screen_image.h"

#include "common/byte_reader.h"

namespace vorla {

void WriteFrameDescription(const screen_image& f, std::span<uint8_t, kFrameDescriptionSize> out) {
  auto put = [&out](size_t at, uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(0, static_cast<uint64_t>(f.capture_time), 8);
  put(8, f.codec_fcc, 4);
  put(12, f.quality, 4);
  put(16, f.data_length, 8);
  put(24, static_cast<uint32_t>(f.x), 4);
  put(28, static_cast<uint32_t>(f.y), 4);
  put(32, static_cast<uint32_t>(f.width), 4);
  put(36, static_cast<uint32_t>(f.height), 4);
  put(40, f.flags, 4);
  put(44, 0, 4);
}

std::optional<screen_image> ReadFrameDescription(std::span<const uint8_t> in) {
  ByteReader r(in);
  screen_image f;
  uint32_t zero = 0;
  r.I64(f.capture_time);
  r.U32(f.codec_fcc);
  r.U32(f.quality);
  r.U64(f.data_length);
  r.I32(f.x);
  r.I32(f.y);
  r.I32(f.width);
  r.I32(f.height);
  r.U32(f.flags);
  r.U32(zero);
  if (r.failed()) return std::nullopt;
  return f;
}

}  // namespace vorla
