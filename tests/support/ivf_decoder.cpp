#include "support/ivf_decoder.h"

#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace vorla::test {
namespace {

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool Fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

}  // namespace

std::optional<IvfFile> ReadIvfFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Fail(error, "cannot open " + path);
    return std::nullopt;
  }
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  if (bytes.size() < 32 || Le32(bytes.data()) != 0x46494B44u /* "DKIF" */) {
    Fail(error, path + " has no IVF header");
    return std::nullopt;
  }
  const uint8_t* h = bytes.data();
  IvfFile f;
  const uint16_t header_size = Le16(h + 6);
  f.fourcc = Le32(h + 8);
  f.width = Le16(h + 12);
  f.height = Le16(h + 14);
  f.rate = Le32(h + 16);
  f.scale = Le32(h + 20);
  f.frame_count = Le32(h + 24);
  if (header_size < 32 || header_size > bytes.size()) {
    Fail(error, path + ": header size " + std::to_string(header_size));
    return std::nullopt;
  }
  size_t at = header_size;
  while (at < bytes.size()) {
    if (bytes.size() - at < 12) {
      Fail(error, path + ": frame header cut short at byte " + std::to_string(at));
      return std::nullopt;
    }
    const uint32_t size = Le32(bytes.data() + at);
    const uint64_t pts = static_cast<uint64_t>(Le32(bytes.data() + at + 4)) |
                         static_cast<uint64_t>(Le32(bytes.data() + at + 8)) << 32;
    at += 12;
    if (size > bytes.size() - at) {
      Fail(error, path + ": frame of " + std::to_string(size) + " bytes cut short");
      return std::nullopt;
    }
    f.frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                          bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
    f.pts.push_back(pts);
    at += size;
  }
  return f;
}

bool DecodeVp8Frames(const std::vector<std::vector<uint8_t>>& frames,
                     std::vector<DecodedFrame>& out, std::string* error) {
  vpx_codec_ctx_t decoder{};
  if (vpx_codec_dec_init(&decoder, vpx_codec_vp8_dx(), nullptr, 0) != VPX_CODEC_OK)
    return Fail(error, "the VP8 decoder did not start");
  bool ok = true;
  for (size_t i = 0; i < frames.size() && ok; ++i) {
    const auto& frame = frames[i];
    if (vpx_codec_decode(&decoder, frame.data(), static_cast<unsigned>(frame.size()), nullptr, 0) !=
        VPX_CODEC_OK) {
      ok = Fail(error,
                "frame " + std::to_string(i) + " does not decode: " + vpx_codec_error(&decoder));
      break;
    }
    vpx_codec_iter_t iter = nullptr;
    const vpx_image_t* img = vpx_codec_get_frame(&decoder, &iter);
    if (!img) {
      ok = Fail(error, "frame " + std::to_string(i) + " gave no picture");
      break;
    }
    DecodedFrame d{img->d_w, img->d_h, {}};
    d.luma.resize(static_cast<size_t>(img->d_w) * img->d_h);
    for (unsigned row = 0; row < img->d_h; ++row)
      std::copy_n(img->planes[VPX_PLANE_Y] + static_cast<ptrdiff_t>(row) * img->stride[VPX_PLANE_Y],
                  img->d_w, d.luma.begin() + static_cast<ptrdiff_t>(row) * img->d_w);
    out.push_back(std::move(d));
  }
  vpx_codec_destroy(&decoder);
  return ok;
}

}  // namespace vorla::test
