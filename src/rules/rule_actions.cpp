#include "rules/rule_actions.h"

#include "common/format_string.h"
#include "rules/rule_binary.h"

namespace vorla {

std::shared_ptr<ActionBase> CreateAction(int32_t type) {
  switch (type) {
    case kActionTypeRecord: return std::make_shared<ActionRecord>();
    case kActionTypeStopRecord: return std::make_shared<ActionStopRecord>();
    case kActionTypeBlank: return std::make_shared<ActionBlank>();
    case kActionTypeUnBlank: return std::make_shared<ActionUnBlank>();
    default: return nullptr;
  }
}

bool ActionRecord::Write(ByteWriter* out, size_t& size) const {
  rules_internal::WriteCursor c(out);
  c.I32(x);
  c.I32(y);
  c.U32(width);
  c.U32(height);
  c.U32(images_per_second);
  c.U32(codec_fourcc);
  c.U32(quality);
  c.U32(carried_value);
  c.I32(duration_seconds);
  size = c.size();
  return true;
}

bool ActionRecord::Read(ByteReader& in) {
  int32_t vx = 0, vy = 0, dur = 0;
  uint32_t w = 0, h = 0, ips = 0, fcc = 0, q = 0, carried = 0;
  in.I32(vx);
  in.I32(vy);
  in.U32(w);
  in.U32(h);
  in.U32(ips);
  in.U32(fcc);
  in.U32(q);
  in.U32(carried);
  in.I32(dur);
  if (in.failed()) return false;
  x = vx;
  y = vy;
  width = w;
  height = h;
  images_per_second = ips;
  codec_fourcc = fcc;
  quality = q;
  carried_value = carried;
  duration_seconds = dur;
  return true;
}

std::u16string ActionRecord::Describe() const {
  std::u16string codec;
  for (int i = 0; i < 4; ++i) {
    const auto b = static_cast<uint8_t>(codec_fourcc >> (8 * i));
    if (b == 0) break;
    codec.push_back(static_cast<char16_t>(b));
  }
  if (codec_fourcc == 0) codec = u"MJPG";
  return FormatString(u"Record@%dips@%s", images_per_second, codec);
}

// The three actions without fields have empty bodies: they consume and write nothing.
bool ActionStopRecord::Write(ByteWriter*, size_t& size) const {
  size = 0;
  return true;
}
bool ActionStopRecord::Read(ByteReader& in) { return !in.failed(); }
std::u16string ActionStopRecord::Describe() const { return u"StopRecording"; }

bool ActionBlank::Write(ByteWriter*, size_t& size) const {
  size = 0;
  return true;
}
bool ActionBlank::Read(ByteReader& in) { return !in.failed(); }
std::u16string ActionBlank::Describe() const { return u"Blank"; }

bool ActionUnBlank::Write(ByteWriter*, size_t& size) const {
  size = 0;
  return true;
}
bool ActionUnBlank::Read(ByteReader& in) { return !in.failed(); }
std::u16string ActionUnBlank::Describe() const { return u"UnBlank"; }

}  // namespace vorla
