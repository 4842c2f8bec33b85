// Installed video codecs: the registry of compressors that the system itself does not build in.
//
// Shaped after the classic installable-compressor model: a compressor is found by its type and
// handler codes (or listed by index), opened for querying or for compressing, asked whether it
// takes given input and output formats, started, fed one frame at a time and ended. Linux has
// no such registry: the system's registry lists nothing. Tests install a fake (fake/fake_codecs.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vorla::platform {

// Video compressors ("vidc", lowest byte first).
inline constexpr uint32_t kCodecTypeVideo = 0x63646976;

// The header of an uncompressed or compressed frame format (the fields a compressor reads).
struct VideoFormat {
  uint32_t size = 40;
  int32_t width = 0;
  int32_t height = 0;
  uint16_t planes = 1;
  uint16_t bit_count = 24;
  uint32_t compression = 0;  // 0: plain RGB; otherwise the codec's code
  uint32_t image_size = 0;   // bytes; a compressor writes the size of each compressed frame here
};

struct InstalledCodecInfo {
  uint32_t type = 0;
  uint32_t handler = 0;
  std::u16string name;         // short name
  std::u16string description;  // long name
  std::u16string driver;
};

// One open compressor. Used by one thread at a time. Any operation may throw (a misbehaving
// codec); callers catch.
class CodecCompressor {
 public:
  virtual ~CodecCompressor() = default;
  virtual InstalledCodecInfo GetInfo() = 0;
  // Whether the compressor takes `input` and can produce `output`.
  virtual bool Query(const VideoFormat& input, const VideoFormat& output) = 0;
  // Its default quality, 0 to 10,000.
  virtual uint32_t DefaultQuality() = 0;
  virtual void Begin(const VideoFormat& input, const VideoFormat& output) = 0;
  virtual void End() = 0;
  // Compresses one frame into `out` (room for output.width x output.height x 3 bytes), setting
  // output.image_size to the bytes written and `flags` (0x10: key frame). `previous` is the
  // frame given before (with `input`'s format). `quality` is 0 to 10,000. False on failure.
  virtual bool Compress(bool key_frame, VideoFormat& output, uint8_t* out,
                        const VideoFormat& input, const uint8_t* frame, uint32_t& flags,
                        uint32_t frame_number, uint32_t quality, const uint8_t* previous) = 0;
};

class CodecRegistry {
 public:
  virtual ~CodecRegistry() = default;
  // The index-th installed compressor of `type`; false past the last.
  virtual bool InfoByIndex(uint32_t type, uint32_t index, InstalledCodecInfo& out) = 0;
  // The compressor of `type` with `handler`; false when none is installed.
  virtual bool InfoByHandler(uint32_t type, uint32_t handler, InstalledCodecInfo& out) = 0;
  // nullptr when it cannot be opened. `query_only`: for reading its information, not for
  // compressing. May throw.
  virtual std::unique_ptr<CodecCompressor> Open(uint32_t type, uint32_t handler,
                                                bool query_only) = 0;
};

// The process-wide registry: the system's (empty on Linux) unless a test installed another.
CodecRegistry& GetCodecRegistry();
// nullptr restores the system's. Install before the code under test runs.
void SetCodecRegistryForTesting(CodecRegistry* registry);

}  // namespace vorla::platform
