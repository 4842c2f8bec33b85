// IVF, the plain container of VP8 streams that players and libvpx's own tools open: a 32-byte
// file header ("DKIF", version 0, header size 32, fourcc, width, height, time base rate and
// scale, frame count) and per frame a 12-byte header (size, 64-bit time stamp) before its bytes.
// All numbers little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace vorla::recsrv {

inline constexpr size_t kIvfFileHeaderSize = 32;
inline constexpr size_t kIvfFrameHeaderSize = 12;
// Offset of the frame count, rewritten when the file is closed.
inline constexpr size_t kIvfFrameCountOffset = 24;

struct IvfStreamInfo {
  uint32_t fourcc = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  // Time stamps count units of scale/rate seconds (1000/1: milliseconds).
  uint32_t rate = 1000;
  uint32_t scale = 1;
};

std::array<uint8_t, kIvfFileHeaderSize> IvfFileHeaderBytes(const IvfStreamInfo& info,
                                                           uint32_t frame_count);
std::array<uint8_t, kIvfFrameHeaderSize> IvfFrameHeaderBytes(uint32_t frame_size,
                                                             uint64_t time_stamp);

// One IVF file being written. The header goes out at Open with a count of 0 and is rewritten with
// the real count at Close, so a file cut short by a crash still plays up to its last frame.
class IvfFile {
 public:
  IvfFile() = default;
  ~IvfFile();
  IvfFile(const IvfFile&) = delete;
  IvfFile& operator=(const IvfFile&) = delete;

  bool Open(const std::string& path, const IvfStreamInfo& info);
  bool Append(std::span<const uint8_t> frame, uint64_t time_stamp);
  // Rewrites the frame count and closes; true when every write succeeded.
  bool Close();
  bool is_open() const { return file_ != nullptr; }
  uint32_t frame_count() const { return frames_; }

 private:
  std::FILE* file_ = nullptr;
  IvfStreamInfo info_;
  uint32_t frames_ = 0;
  bool ok_ = true;
};

}  // namespace vorla::recsrv
