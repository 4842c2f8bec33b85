#include "ivf_writer.h"

#include "common/byte_writer.h"

namespace vorla::recsrv {

namespace {
template <size_t N>
std::array<uint8_t, N> ToArray(const ByteWriter& w) {
  std::array<uint8_t, N> a{};
  for (size_t i = 0; i < N && i < w.size(); ++i) a[i] = w.bytes()[i];
  return a;
}
}  // namespace

std::array<uint8_t, kIvfFileHeaderSize> IvfFileHeaderBytes(const IvfStreamInfo& info,
                                                           uint32_t frame_count) {
  ByteWriter w;
  w.Bytes("DKIF", 4);
  w.U16(0);   // version
  w.U16(32);  // header size
  w.U32(info.fourcc);
  w.U16(info.width);
  w.U16(info.height);
  w.U32(info.rate);
  w.U32(info.scale);
  w.U32(frame_count);
  w.U32(0);  // unused
  return ToArray<kIvfFileHeaderSize>(w);
}

std::array<uint8_t, kIvfFrameHeaderSize> IvfFrameHeaderBytes(uint32_t frame_size,
                                                             uint64_t time_stamp) {
  ByteWriter w;
  w.U32(frame_size);
  w.U64(time_stamp);
  return ToArray<kIvfFrameHeaderSize>(w);
}

IvfFile::~IvfFile() { Close(); }

bool IvfFile::Open(const std::string& path, const IvfStreamInfo& info) {
  Close();
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  info_ = info;
  frames_ = 0;
  const auto header = IvfFileHeaderBytes(info_, 0);
  ok_ = std::fwrite(header.data(), 1, header.size(), file_) == header.size();
  return ok_;
}

bool IvfFile::Append(std::span<const uint8_t> frame, uint64_t time_stamp) {
  if (!file_) return false;
  const auto header = IvfFrameHeaderBytes(static_cast<uint32_t>(frame.size()), time_stamp);
  const bool ok = std::fwrite(header.data(), 1, header.size(), file_) == header.size() &&
                  std::fwrite(frame.data(), 1, frame.size(), file_) == frame.size();
  if (ok) ++frames_;
  ok_ = ok_ && ok;
  return ok;
}

bool IvfFile::Close() {
  if (!file_) return ok_;
  const auto header = IvfFileHeaderBytes(info_, frames_);
  bool ok = std::fseek(file_, 0, SEEK_SET) == 0 &&
            std::fwrite(header.data(), 1, header.size(), file_) == header.size();
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  ok_ = ok_ && ok;
  return ok_;
}

}  // namespace vorla::recsrv
