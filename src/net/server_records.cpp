#include "net/server_records.h"

namespace vorla {
namespace {

size_t TextSize(const std::u16string& s) { return 2 * s.size() + 2; }
size_t ListSize(const std::vector<std::u16string>& l) {
  size_t n = 4;
  for (const auto& s : l) n += TextSize(s);
  return n;
}
void WriteList(ByteWriter& out, const std::vector<std::u16string>& l) {
  out.U32(static_cast<uint32_t>(l.size()));
  for (const auto& s : l) out.Utf16z(s);
}
// A list of `count` strings: each is at least 2 bytes, so a count the bytes cannot hold fails
// before anything is reserved.
bool ReadList(ByteReader& in, std::vector<std::u16string>& l) {
  uint32_t count = 0;
  if (!in.U32(count)) return false;
  if (count > in.remaining() / 2) {
    in.Skip(in.remaining() + 1);  // marks the reader failed
    return false;
  }
  std::vector<std::u16string> out;
  out.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    std::u16string s;
    if (!in.Utf16z(s)) return false;
    out.push_back(std::move(s));
  }
  l = std::move(out);
  return true;
}

}  // namespace

void WriteRecord(ByteWriter& out, const RegistrationRecord& r) {
  out.U32(1);
  out.Utf16z(r.workstation_name);
  out.U32(r.workstation_address);
}

void WriteRecord(ByteWriter& out, const SessionRecord& r) {
  out.U32(1);
  out.Utf16z(r.session_id);
  out.Utf16z(r.workstation_name);
  out.U32(r.workstation_address);
  out.Utf16z(r.server_text1);
  out.Utf16z(r.server_text2);
  out.Utf16z(r.server_text3);
  out.Utf16z(r.user_name);
  out.U32(r.seating_type);
  out.U64(r.start_time);
  out.U64(r.end_time);
  out.U32(r.session_flags);
  WriteList(out, r.server_texts);
}

void WriteRecord(ByteWriter& out, const SegmentRecord& r) {
  out.U32(1);
  out.Utf16z(r.segment_id);
  out.U64(r.start_time);
  out.U64(r.end_time);
  out.U32(r.frame_rate);
  out.I32(r.x);
  out.I32(r.y);
  out.I32(r.width);
  out.I32(r.height);
  out.U32(r.codec_fcc);
  out.U32(r.quality);
  out.U32(r.reserved1);
  out.U32(r.reserved2);
  out.Utf16z(r.segment_text1);
  out.Utf16z(r.segment_text2);
}

void WriteRecord(ByteWriter& out, const EventRecord& r) {
  out.U32(1);
  out.Utf16z(r.event_id);
  out.U32(r.rule_reference);
  out.U64(r.start_time);
  out.U64(r.end_time);
  out.U64(r.recorded_bytes);
  out.U32(r.reserved1);
  out.U32(r.reserved2);
  WriteList(out, r.event_texts);
}

std::array<uint8_t, kFrameHeaderSize> WriteFrameHeader(const FrameHeader& h) {
  ByteWriter w;
  w.U32(1);
  w.U64(h.capture_time);
  w.U32(h.codec_fcc);
  w.U32(h.quality);
  w.U32(h.frame_flags);
  w.U32(h.data_length);
  w.I32(h.x);
  w.I32(h.y);
  w.I32(h.width);
  w.I32(h.height);
  w.U32(0);
  w.Bytes(h.digest.data(), h.digest.size());
  std::array<uint8_t, kFrameHeaderSize> out{};  // the reserved tail stays 0
  for (size_t i = 0; i < w.size(); ++i) out[i] = w.bytes()[i];
  return out;
}

size_t RecordSize(const RegistrationRecord& r) { return 8 + TextSize(r.workstation_name); }
size_t RecordSize(const SessionRecord& r) {
  return kSessionRecordFixedSize + TextSize(r.session_id) + TextSize(r.workstation_name) +
         TextSize(r.server_text1) + TextSize(r.server_text2) + TextSize(r.server_text3) +
         TextSize(r.user_name) + ListSize(r.server_texts) - 4;
}
size_t RecordSize(const SegmentRecord& r) {
  return kSegmentRecordFixedSize + TextSize(r.segment_id) + TextSize(r.segment_text1) +
         TextSize(r.segment_text2);
}
size_t RecordSize(const EventRecord& r) {
  return kEventRecordFixedSize + TextSize(r.event_id) + ListSize(r.event_texts) - 4;
}

bool ReadRecord(ByteReader& in, RegistrationRecord& r) {
  RegistrationRecord t;
  if (!in.U32(t.presence)) return false;
  if (t.presence == 0) {
    r.presence = 0;
    return true;
  }
  {
    in.Utf16z(t.workstation_name);
    in.U32(t.workstation_address);
    if (in.failed()) return false;
  }
  r = std::move(t);
  return true;
}

bool ReadRecord(ByteReader& in, SessionRecord& r) {
  SessionRecord t;
  if (!in.U32(t.presence)) return false;
  if (t.presence == 0) {
    r.presence = 0;
    return true;
  }
  {
    in.Utf16z(t.session_id);
    in.Utf16z(t.workstation_name);
    in.U32(t.workstation_address);
    in.Utf16z(t.server_text1);
    in.Utf16z(t.server_text2);
    in.Utf16z(t.server_text3);
    in.Utf16z(t.user_name);
    in.U32(t.seating_type);
    in.U64(t.start_time);
    in.U64(t.end_time);
    in.U32(t.session_flags);
    if (in.failed() || !ReadList(in, t.server_texts)) return false;
  }
  r = std::move(t);
  return true;
}

bool ReadRecord(ByteReader& in, SegmentRecord& r) {
  SegmentRecord t;
  if (!in.U32(t.presence)) return false;
  if (t.presence == 0) {
    r.presence = 0;
    return true;
  }
  {
    in.Utf16z(t.segment_id);
    in.U64(t.start_time);
    in.U64(t.end_time);
    in.U32(t.frame_rate);
    in.I32(t.x);
    in.I32(t.y);
    in.I32(t.width);
    in.I32(t.height);
    in.U32(t.codec_fcc);
    in.U32(t.quality);
    in.U32(t.reserved1);
    in.U32(t.reserved2);
    in.Utf16z(t.segment_text1);
    in.Utf16z(t.segment_text2);
    if (in.failed()) return false;
  }
  r = std::move(t);
  return true;
}

bool ReadRecord(ByteReader& in, EventRecord& r) {
  EventRecord t;
  if (!in.U32(t.presence)) return false;
  if (t.presence == 0) {
    r.presence = 0;
    return true;
  }
  {
    in.Utf16z(t.event_id);
    in.U32(t.rule_reference);
    in.U64(t.start_time);
    in.U64(t.end_time);
    in.U64(t.recorded_bytes);
    in.U32(t.reserved1);
    in.U32(t.reserved2);
    if (in.failed() || !ReadList(in, t.event_texts)) return false;
  }
  r = std::move(t);
  return true;
}

bool ReadFrameHeader(std::span<const uint8_t> bytes, FrameHeader& h) {
  ByteReader in(bytes);
  FrameHeader t;
  uint32_t presence = 0, reserved = 0;
  in.U32(presence);
  in.U64(t.capture_time);
  in.U32(t.codec_fcc);
  in.U32(t.quality);
  in.U32(t.frame_flags);
  in.U32(t.data_length);
  in.I32(t.x);
  in.I32(t.y);
  in.I32(t.width);
  in.I32(t.height);
  in.U32(reserved);
  in.Bytes(t.digest.data(), t.digest.size());
  in.Skip(kFrameHeaderSize - 56);
  if (in.failed()) return false;
  h = t;
  return true;
}

}  // namespace vorla
