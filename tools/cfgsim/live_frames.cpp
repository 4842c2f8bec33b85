#include "live_frames.h"

#include <cstdio>
#include <fstream>

#include "cfg_messages.h"
#include "common/byte_reader.h"
#include "platform/clock.h"

namespace vorla::cfgsim {

std::optional<LiveFrameDescription> ReadLiveFrameDescription(const netw_message_t& m) {
  ByteReader r(m.part1.span());
  LiveFrameDescription d;
  uint32_t zero = 0;
  if (!r.I64(d.capture_time) || !r.U32(d.codec_fcc) || !r.U32(d.quality) || !r.U64(d.data_length) ||
      !r.I32(d.x) || !r.I32(d.y) || !r.I32(d.width) || !r.I32(d.height) || !r.U32(d.flags) ||
      !r.U32(zero))
    return std::nullopt;
  return d;
}

std::string DescribeLiveFrame(const LiveFrameDescription& d, size_t data_bytes) {
  std::string line = "live frame " + std::to_string(d.width) + "x" + std::to_string(d.height) +
                     " " + (d.codec_fcc == 0 ? std::string("JPEG") : FccText(d.codec_fcc)) +
                     " quality " + std::to_string(d.quality);
  if (d.flags & 0x10) line += " key";
  if (d.flags & 0x20000000) line += " desktop-lost";
  line += ", " + std::to_string(data_bytes) + " bytes";
  if (d.data_length != data_bytes)
    line += " (the description says " + std::to_string(d.data_length) + ")";
  // Capture times before 1970 or past year 9999 are shown as numbers only.
  if (d.capture_time >= 0 && d.capture_time < 253402300800000) {
    char stamp[21];
    platform::FormatUtcTimestamp(d.capture_time / 1000, stamp);
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03dZ", static_cast<int>(d.capture_time % 1000));
    line += ", taken " + std::string(stamp, 19) + ms;  // the stamp without its "Z"
  } else {
    line += ", taken at " + std::to_string(d.capture_time) + " ms";
  }
  return line;
}

bool IsJpegFrame(const LiveFrameDescription& d, std::span<const uint8_t> data) {
  return d.codec_fcc == 0 && data.size() >= 3 && data[0] == 0xFF && data[1] == 0xD8 &&
         data[2] == 0xFF;
}

std::optional<std::string> LiveFrameSaver::Save(uint32_t link, std::span<const uint8_t> jpeg,
                                                std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!folder_ready_) {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    if (ec) {
      error = "cannot create " + folder_.string() + ": " + ec.message();
      return std::nullopt;
    }
    folder_ready_ = true;
  }
  char name[64];
  std::snprintf(name, sizeof name, "live-%u-%06llu.jpg", link,
                static_cast<unsigned long long>(next_));
  const std::filesystem::path path = folder_ / name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
  out.close();
  if (!out) {
    error = "cannot write " + path.string();
    return std::nullopt;
  }
  ++next_;
  return path.string();
}

}  // namespace vorla::cfgsim
