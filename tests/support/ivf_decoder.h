// IVF files as a player reads them, and their VP8 frames decoded with libvpx. Nothing here is
// thread-safe; call it from the test's own thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorla::test {

struct IvfFile {
  uint32_t fourcc = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t rate = 0;
  uint32_t scale = 0;
  uint32_t frame_count = 0;  // as the file header says
  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint64_t> pts;
};

// Reads the 32-byte header and every frame record; nullopt (and the reason in `error`) for a
// file that is missing, has another signature or ends inside a record.
std::optional<IvfFile> ReadIvfFile(const std::string& path, std::string* error = nullptr);

struct DecodedFrame {
  unsigned width = 0;
  unsigned height = 0;
  // The luma plane (Y of I420), width x height bytes, rows packed.
  std::vector<uint8_t> luma;
};

// Decodes `frames` in order with one VP8 decoder. Every frame must decode and yield a picture;
// false (and the frame and libvpx's reason in `error`) at the first that does not, or when
// libvpx cannot be loaded. `out` receives one entry per frame decoded.
bool DecodeVp8Frames(const std::vector<std::vector<uint8_t>>& frames,
                     std::vector<DecodedFrame>& out, std::string* error = nullptr);

}  // namespace vorla::test
