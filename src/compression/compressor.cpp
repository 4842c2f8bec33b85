#include "compression/compressor.h"

#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "common/logging.h"
#include "compression/jpeg_encode.h"
#include "compression/vp8_encoder.h"
#include "platform/codecs.h"

namespace vorla {
namespace {

struct EngineState {
  CompressorParams current;
  std::unique_ptr<platform::CodecCompressor> codec;
  platform::InstalledCodecInfo info;
  platform::VideoFormat input_format;
  platform::VideoFormat output_format;
  std::unique_ptr<uint8_t[]> output;
  std::unique_ptr<uint8_t[]> previous;
  uint32_t frame_number = 0;
  PayloadBuffer last_jpeg;  // the JPEG engine's last image, for an unchanged frame
};

EngineState& Engine() {
  static EngineState state;
  return state;
}

void FillFormats(EngineState& e, uint32_t width, uint32_t height, uint32_t fcc) {
  e.input_format = {};
  e.input_format.width = static_cast<int32_t>(width);
  e.input_format.height = static_cast<int32_t>(height);
  e.input_format.image_size = width * height * 3;
  e.output_format = {};
  e.output_format.width = static_cast<int32_t>(width);
  e.output_format.height = static_cast<int32_t>(height);
  e.output_format.compression = fcc;
}

Status InitiateFailed(const char16_t* format, uint32_t fcc) {
  LogIfFailed(false, kStatusCompressorInitFailed, FormatString(format, fcc), 3,
              EVENTLOG_WARNING_TYPE);
  CMP_Release();
  return kStatusCompressorInitFailed;
}

Status InitiateInstalled(EngineState& e, CompressorParams& params) {
  platform::CodecRegistry& registry = platform::GetCodecRegistry();
  const uint32_t requested = params.fcc;
  platform::InstalledCodecInfo found;
  try {
    if (!registry.InfoByHandler(platform::kCodecTypeVideo, requested, found)) {
      return InitiateFailed(u"CMP_Initiate: ICInfo failed. FCC = 0x%x", requested);
    }
    e.codec = registry.Open(found.type, found.handler, false);
    if (!e.codec) return InitiateFailed(u"CMP_Initiate: ICOpen failed. FCC = 0x%x", requested);
    e.info = e.codec->GetInfo();
    params.fcc = e.info.handler;
    FillFormats(e, params.width, params.height, params.fcc);
    if (!e.codec->Query(e.input_format, e.output_format)) {
      return InitiateFailed(
          u"CMP_Initiate: ICompressQuery failed: Compressor does not support the required "
          u"input/output. FCC = 0x%x",
          params.fcc);
    }
    e.frame_number = 0;
    if (params.quality == 0) params.quality = e.codec->DefaultQuality() / 100;
    e.current = params;
    const size_t bytes = static_cast<size_t>(params.width) * params.height * 3;
    e.output.reset(new (std::nothrow) uint8_t[bytes]);
    e.previous.reset(new (std::nothrow) uint8_t[bytes]);
    if (!e.output || !e.previous || bytes == 0) {
      return InitiateFailed(u"Init Allocation failure", params.fcc);
    }
    std::memset(e.output.get(), 0, bytes);
    std::memset(e.previous.get(), 0, bytes);
    e.codec->Begin(e.input_format, e.output_format);
    FillFormats(e, params.width, params.height, params.fcc);
  } catch (...) {
    // A codec that throws while being set up is one that cannot be opened.
    return InitiateFailed(u"CMP_Initiate: ICOpen failed. FCC = 0x%x", requested);
  }
  return kStatusSuccess;
}

Status CompressInstalled(EngineState& e, const uint8_t* input, PayloadBuffer& data,
                         uint32_t& flags, bool key_frame) {
  if (!e.codec) return kStatusCompressorInitFailed;
  const uint32_t fcc = e.current.fcc;
  bool ok = false;
  try {
    e.output_format.image_size = 0;
    ok = e.codec->Compress(key_frame, e.output_format, e.output.get(), e.input_format, input,
                           flags, e.frame_number, e.current.quality * 100, e.previous.get());
  } catch (...) {
    ok = false;
  }
  const size_t capacity = static_cast<size_t>(e.current.width) * e.current.height * 3;
  if (!ok || e.output_format.image_size > capacity) {
    LogIfFailed(false, kStatusCompressFailed,
                FormatString(u"CMP_Compress: Image Compression failed. FCC = 0x%x", fcc), 3,
                EVENTLOG_WARNING_TYPE);
    return kStatusCompressorInitFailed;
  }
  ++e.frame_number;
  PayloadBuffer result = PayloadBuffer::TryCopyOf({e.output.get(), e.output_format.image_size});
  if (e.output_format.image_size != 0 && result.empty()) {
    LogIfFailed(false, kStatusCompressorInitFailed, u"Runtime Allocation failure", 3,
                EVENTLOG_WARNING_TYPE);
    return kStatusCompressorInitFailed;
  }
  std::memcpy(e.previous.get(), input, capacity);
  data = result;
  return kStatusSuccess;
}

}  // namespace

std::u16string FccText(uint32_t fcc) {
  if (fcc == kFccJpeg) return u"MJPG";
  if (fcc == kFccVp80) return u"VP80";
  std::u16string text;
  for (int i = 0; i < 4; ++i) text.push_back(static_cast<char16_t>((fcc >> (8 * i)) & 0xFF));
  return text;
}

Status CMP_Initiate(CompressorParams& params) {
  CMP_Release();
  EngineState& e = Engine();
  if (params.fcc == kFccVp80) {
    const Status status = Vp8Init(params.width, params.height);
    e.current = params;
    if (status != kStatusSuccess) CMP_Release();
    return status;
  }
  if (params.fcc == kFccJpeg) {
    if (params.quality == 0) params.quality = 70;
    e.current = params;
    return kStatusSuccess;
  }
  return InitiateInstalled(e, params);
}

Status CMP_Compress(const uint8_t* input, uint32_t size, PayloadBuffer& data, uint32_t& flags,
                    bool& key_frame, bool unchanged) {
  EngineState& e = Engine();
  const size_t needed = static_cast<size_t>(e.current.width) * e.current.height * 3;
  // A frame smaller than the engine's size would be read past its end.
  if (input == nullptr || size < needed || needed == 0) return kStatusCompressorInitFailed;
  if (e.current.fcc == kFccVp80) {
    const Status status = Vp8Encode(input, data, key_frame, unchanged);
    if (status != kStatusSuccess) {
      LogIfFailed(false, kStatusCompressFailed,
                  FormatString(u"CMP_Compress: VP9 Image Compression failed. %s", Vp8ErrorText()),
                  3, EVENTLOG_WARNING_TYPE);
      return status;
    }
    flags = key_frame ? kFrameFlagKey : 0;
    return kStatusSuccess;
  }
  if (e.current.fcc == kFccJpeg) {
    // Same pixels at the same quality give the same bytes; the buffer is immutable once handed
    // on, so it is shared.
    if (unchanged && !e.last_jpeg.empty()) {
      data = e.last_jpeg;
      flags = kFrameFlagKey;
      return kStatusSuccess;
    }
    e.last_jpeg = PayloadBuffer();
    if (!JpegEncode(data, input, e.current.width, e.current.height, JpegPixelKind::kRgb,
                    static_cast<int32_t>(e.current.quality))) {
      LogIfFailed(false, kStatusCompressFailed,
                  u"CMP_Compress: Image Compression failed. Using builtin JPEG engine.", 3,
                  EVENTLOG_WARNING_TYPE);
      return kStatusCompressorInitFailed;
    }
    e.last_jpeg = data;
    flags = kFrameFlagKey;
    return kStatusSuccess;
  }
  return CompressInstalled(e, input, data, flags, key_frame);
}

void CMP_Release() {
  EngineState& e = Engine();
  if (e.current.fcc == kFccVp80) Vp8Release();
  e.output.reset();
  e.previous.reset();
  e.last_jpeg = PayloadBuffer();
  if (e.codec) {
    try {
      e.codec->End();
    } catch (...) {
    }
    e.codec.reset();
  }
  e.current = CompressorParams{};
  e.info = {};
  e.frame_number = 0;
}

CompressorParams CMP_CurrentParams() { return Engine().current; }

void CMP_ListAvailableCodecs(std::vector<CodecInfo>& list) {
  list.push_back({kFccJpeg, kBuiltInCodecType, u"Vorla native MJPG", u"Vorla native MJPG",
                  u"MJPG"});
  list.push_back({kFccVp80, kBuiltInCodecType, u"Vorla native VP80", u"Vorla native VP80",
                  u"VP80"});
  platform::CodecRegistry& registry = platform::GetCodecRegistry();
  int32_t read = 0;
  platform::InstalledCodecInfo info;
  for (uint32_t index = 0;; ++index) {
    try {
      if (!registry.InfoByIndex(platform::kCodecTypeVideo, index, info)) break;
    } catch (...) {
      break;
    }
    try {
      std::unique_ptr<platform::CodecCompressor> codec =
          registry.Open(info.type, info.handler, true);
      if (codec) {
        const platform::InstalledCodecInfo got = codec->GetInfo();
        list.push_back({got.handler, got.type, got.description, got.driver, got.name});
        ++read;
      }
    } catch (...) {
      LogIfFailed(false, kStatusCompressorInitFailed,
                  FormatString(u"CMP_ListAvailableCodecs: ICOpen caused exception. FCC = %s",
                               FccText(info.handler)),
                  3, EVENTLOG_WARNING_TYPE);
    }
  }
  LogStatus(kStatusConfigItemAdded,
            FormatString(u"CMP_ListAvailableCodecs: Info extracted for %d Codecs", read),
            EVENTLOG_INFORMATION_TYPE, 2);
}

}  // namespace vorla
