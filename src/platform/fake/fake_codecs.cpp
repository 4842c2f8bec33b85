#include "platform/fake/fake_codecs.h"

#include <cstring>
#include <stdexcept>

namespace vorla::platform {

class FakeCompressor final : public CodecCompressor {
 public:
  FakeCompressor(FakeCodecRegistry& registry, const FakeCodecScript& script)
      : registry_(registry), script_(script) {
    ++registry_.open_;
  }
  ~FakeCompressor() override { --registry_.open_; }

  InstalledCodecInfo GetInfo() override {
    Note("info");
    return script_.info;
  }
  bool Query(const VideoFormat& input, const VideoFormat& output) override {
    Note("query");
    return !script_.query_fails && input.bit_count == 24 && input.compression == 0 &&
           output.compression == script_.info.handler;
  }
  uint32_t DefaultQuality() override {
    Note("default_quality");
    return script_.default_quality;
  }
  void Begin(const VideoFormat&, const VideoFormat&) override { Note("begin"); }
  void End() override { Note("end"); }
  bool Compress(bool key_frame, VideoFormat& output, uint8_t* out, const VideoFormat&,
                const uint8_t* frame, uint32_t& flags, uint32_t frame_number, uint32_t quality,
                const uint8_t* previous) override {
    FakeCodecCall call;
    call.what = "compress";
    call.key_frame = key_frame;
    call.frame_number = frame_number;
    call.quality = quality;
    call.previous_head.assign(previous, previous + 4);
    registry_.calls_.push_back(call);
    if (static_cast<int>(frame_number) == script_.throw_frame) {
      throw std::runtime_error("codec fault");
    }
    if (static_cast<int>(frame_number) == script_.fail_frame) return false;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(frame_number >> (8 * i));
    std::memcpy(out + 4, frame, 4);
    output.image_size = 8;
    flags = key_frame ? 0x10 : 0;
    return true;
  }

 private:
  void Note(const char* what) {
    FakeCodecCall call;
    call.what = what;
    registry_.calls_.push_back(call);
  }
  FakeCodecRegistry& registry_;
  FakeCodecScript script_;
};

std::vector<FakeCodecCall> FakeCodecRegistry::CallsOf(const std::string& what) const {
  std::vector<FakeCodecCall> out;
  for (const FakeCodecCall& c : calls_) {
    if (c.what == what) out.push_back(c);
  }
  return out;
}

bool FakeCodecRegistry::InfoByIndex(uint32_t type, uint32_t index, InstalledCodecInfo& out) {
  if (type != kCodecTypeVideo || index >= codecs_.size()) return false;
  out = codecs_[index].info;
  return true;
}

bool FakeCodecRegistry::InfoByHandler(uint32_t type, uint32_t handler, InstalledCodecInfo& out) {
  if (type != kCodecTypeVideo) return false;
  for (const FakeCodecScript& c : codecs_) {
    if (c.info.handler == handler) {
      out = c.info;
      return true;
    }
  }
  return false;
}

std::unique_ptr<CodecCompressor> FakeCodecRegistry::Open(uint32_t type, uint32_t handler,
                                                         bool query_only) {
  FakeCodecCall call;
  call.what = query_only ? "open_query" : "open";
  calls_.push_back(call);
  for (const FakeCodecScript& c : codecs_) {
    if (c.info.type != type || c.info.handler != handler) continue;
    if (c.open_throws) throw std::runtime_error("codec fault");
    if (c.open_fails) return nullptr;
    return std::make_unique<FakeCompressor>(*this, c);
  }
  return nullptr;
}

}  // namespace vorla::platform
