// Live frames (type 6) as the Configurator sees them: part 1 the 48-byte frame description,
// part 2 the compressed frame. The description is read here with its own reader, so that the
// tool does not share the workstation's writer (and its mistakes).
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "net/netw_message.h"

namespace vorla::cfgsim {

struct LiveFrameDescription {
  int64_t capture_time = 0;  // ms since 1970 UTC
  uint32_t codec_fcc = 0;    // 0: JPEG
  uint32_t quality = 0;
  uint64_t data_length = 0;
  int32_t x = 0, y = 0, width = 0, height = 0;
  uint32_t flags = 0;  // 0x10 key frame, 0x20000000 desktop lost
};

// Offsets 0 capture time (8), 8 FCC, 12 quality, 16 data length (8), 24 x, 28 y, 32 width,
// 36 height, 40 flags, 44 zero. nullopt when part 1 is shorter than 48 bytes.
std::optional<LiveFrameDescription> ReadLiveFrameDescription(const netw_message_t& m);

// One line: size, codec, quality, flags, bytes, capture time; notes a data length that differs
// from the bytes that came.
std::string DescribeLiveFrame(const LiveFrameDescription& d, size_t data_bytes);

// Whether the frame's bytes are a JPEG image (FCC 0 and the SOI marker FF D8 FF).
bool IsJpegFrame(const LiveFrameDescription& d, std::span<const uint8_t> data);

// Writes live frames as numbered JPEG files "live-<link>-<number>.jpg" into a folder (created
// when missing). Thread-safe: every link's thread saves through the one instance.
class LiveFrameSaver {
 public:
  explicit LiveFrameSaver(std::filesystem::path folder) : folder_(std::move(folder)) {}
  // The file written, or nullopt with `error` set.
  std::optional<std::string> Save(uint32_t link, std::span<const uint8_t> jpeg, std::string& error);

 private:
  std::filesystem::path folder_;
  std::mutex mutex_;
  uint64_t next_ = 1;
  bool folder_ready_ = false;
};

}  // namespace vorla::cfgsim
