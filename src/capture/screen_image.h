// One captured frame as it travels through the frame queues, and the capture request.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/payload_buffer.h"
#include "net/thread_safe_queue.h"

namespace vorla {

// The capture request (32 bytes; passed by value).
struct CaptureFormat {
  int32_t x = 0;
  int32_t y = 0;
  uint32_t width = 0;   // computed by the layout; the requested value is ignored
  uint32_t height = 0;
  uint32_t frame_rate = 1;         // frames per second, at least 1
  uint32_t max_queued_frames = 0;  // limit of the recording frame queue
  uint32_t codec_fcc = 0;          // 0: the built-in JPEG engine
  uint32_t quality = 0;            // 0: the compressor's default
};

inline constexpr uint32_t kImageFlagKeyFrame = 0x10;
inline constexpr uint32_t kFrameFlagDesktopLost = 0x20000000;

// A frame with every field zero except possibly the flags is a valid frame without data.
struct screen_image {
  int64_t capture_time = 0;  // ms since 1970 UTC
  uint32_t codec_fcc = 0;
  uint32_t quality = 0;
  uint64_t data_length = 0;
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint32_t flags = 0;
  PayloadBuffer data;  // copies share the bytes
};

using FrameQueue = ThreadSafeQueue<screen_image>;

// The 48-byte frame description of a live-frame message, little-endian:
//   0 capture time (8) | 8 codec FCC (4) | 12 quality (4) | 16 data length (8) | 24 x (4)
//   28 y (4) | 32 width (4) | 36 height (4) | 40 flags (4) | 44 zero (4)
inline constexpr size_t kFrameDescriptionSize = 48;
void WriteFrameDescription(const screen_image& frame,
                           std::span<uint8_t, kFrameDescriptionSize> out);
// The fields of a description (without data); nullopt when `in` is shorter than 48 bytes.
std::optional<screen_image> ReadFrameDescription(std::span<const uint8_t> in);

}  // namespace vorla
