#include "controller/rules_batch.h"

#include <algorithm>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "rules/rule_actions.h"

namespace vorla {

CaptureFormat DefaultCaptureFormat() {
  CaptureFormat f;
  f.frame_rate = 1;
  f.max_queued_frames = 25;
  f.quality = 60;
  return f;
}

RulesBatch MergeRuleActions(const ActionList& actions, int32_t& blank_count) {
  RulesBatch b;
  b.request.frame_rate = 1;
  b.request.max_queued_frames = 25;
  for (const auto& action : actions) {
    if (!action) continue;
    switch (action->type()) {
      case kActionTypeRecord: {
        const auto& r = static_cast<const ActionRecord&>(*action);
        ++b.record_count;
        if (r.duration_seconds != -1) b.durations.push_back(r.duration_seconds);
        b.request.x = std::min(b.request.x, r.x);
        b.request.y = std::min(b.request.y, r.y);
        b.request.width = std::max(b.request.width, r.width);
        b.request.height = std::max(b.request.height, r.height);
        b.request.frame_rate = std::max(b.request.frame_rate, r.images_per_second);
        b.request.quality = std::max(b.request.quality, r.quality);
        break;
      }
      case kActionTypeStopRecord: ++b.stop_count; break;
      case kActionTypeBlank:
        ++blank_count;
        b.blank_changed = true;
        break;
      case kActionTypeUnBlank:
        if (blank_count > 0) {
          --blank_count;
          b.blank_changed = true;
        }
        break;
      default: continue;
    }
    ++b.handled;
  }
  return b;
}

std::u16string RestartReasons::Text() const {
  std::u16string t;
  if (new_server) t += u"NewServer ";
  if (new_codec) t += u"NewCodec ";
  if (encryption_change) t += u"EncryptionChange ";
  if (seating_type) t += u"SeatingType ";
  if (new_agent_config) t += u"NewAgentConfig ";
  return t;
}

std::u16string UpperAscii(std::u16string_view s) {
  std::u16string u(s);
  for (char16_t& c : u)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return u;
}

void CompareSettings(const WorkstationSettings& current, const WorkstationSettings& incoming,
                     RestartReasons& reasons) {
  if (UpperAscii(current.SCServerIP) != UpperAscii(incoming.SCServerIP)) reasons.new_server = true;
  if (current.AssignedFCC != incoming.AssignedFCC) reasons.new_codec = true;
  if (current.EncryptionPassword != incoming.EncryptionPassword) reasons.encryption_change = true;
  if (current.SeatingType != incoming.SeatingType) reasons.seating_type = true;
}

ConfigMessage ReadConfigMessage(const netw_message_t& message) {
  ConfigMessage m;
  if (message.part1.empty()) return m;
  const uint8_t flags = message.part1.data()[0];
  ByteReader cursor(message.part2.span());
  if (flags & 0x1) {
    std::u16string dropped;
    if (!cursor.Utf16z(dropped)) return m;
  }
  if (flags & 0x2) {
    WorkstationSettings incoming;
    size_t size = 0;
    if (!incoming.Deserialize(cursor, size)) return m;
    m.settings = incoming;
  }
  if (flags & 0x4) {
    const size_t start = cursor.position();
    RuleSet rules;
    if (rules.Read(cursor)) {
      const auto all = message.part2.span();
      m.rule_bytes.assign(all.begin() + static_cast<std::ptrdiff_t>(start), all.end());
      m.rules = std::move(rules);
    }
  }
  return m;
}

bool RulesDiffer(const RuleList& current, std::span<const uint8_t> received) {
  std::vector<uint8_t> written;
  if (!RuleSet(current).Write(written)) return true;
  const size_t n = std::min(written.size(), received.size());
  return !std::equal(written.begin(), written.begin() + static_cast<std::ptrdiff_t>(n),
                     received.begin());
}

Status ReadSessionConfigAnswer(const netw_message_t& message, RuleList& rules) {
  if (message.part1.size() != 4 || message.part2.empty()) return kStatusNoConfigurationDefined;
  ByteReader head(message.part1.span());
  uint32_t word = 0;
  head.U32(word);
  if (word != 0xFFFFFFFF) return kStatusInternalError;
  // The rule set is read with a budget of 65,535 bytes; the strings around it are dropped.
  ByteReader body(message.part2.span());
  uint32_t version = 0;
  std::u16string text;
  uint16_t value = 0;
  rules.clear();
  if (!body.U32(version) || !body.Utf16z(text) || !body.Utf16z(text) || !body.U16(value)) return 0;
  ByteReader budget = body.Sub(std::min<size_t>(body.remaining(), 65535));
  RuleSet set;
  if (set.Read(budget)) rules = set.rules();
  return 0;
}

netw_message_t BuildSessionConfigRequest(const std::u16string& user) {
  ByteWriter p1;
  p1.U32(1);
  ByteWriter p2;
  p2.Utf16z(user);
  return MakeNetwMessage(nwmt_cfg_sessionconfig, PayloadBuffer::CopyOf(p1.bytes()),
                         PayloadBuffer::CopyOf(p2.bytes()));
}

netw_message_t BuildCapabilities(uint8_t major, uint8_t minor, bool remote, uint64_t memory,
                                 const std::vector<CodecInfo>& codecs) {
  ByteWriter p1;
  p1.U32(1);
  p1.U8(static_cast<uint8_t>(remote ? (major | 0x80) : major));
  p1.U8(minor);
  p1.U16(0);
  ByteWriter p2;
  p2.U32(2);
  p2.U64(memory);
  p2.U32(static_cast<uint32_t>(codecs.size()));
  for (const CodecInfo& c : codecs) {
    p2.U32(c.handler_fcc);
    p2.U32(c.type_fcc);
    p2.Utf16z(c.description);
    p2.Utf16z(c.driver);
    p2.Utf16z(c.name);
  }
  p2.U32(0);
  return MakeNetwMessage(nwmt_cfg_capabilities, PayloadBuffer::CopyOf(p1.bytes()),
                         PayloadBuffer::CopyOf(p2.bytes()));
}

netw_message_t BuildStatusMessage(uint32_t word, uint32_t code, const SessionRecord* session) {
  ByteWriter p1;
  p1.U32(1);
  p1.U32(word);
  p1.U32(code);
  PayloadBuffer part2;
  if (session) {
    ByteWriter p2;
    WriteRecord(p2, *session);
    part2 = PayloadBuffer::CopyOf(p2.bytes());
  }
  return MakeNetwMessage(nwmt_ws_status, PayloadBuffer::CopyOf(p1.bytes()), std::move(part2));
}

netw_message_t BuildClosingNotice() {
  ByteWriter p1;
  p1.U32(kStatusKindShutdown);
  p1.U32(0);
  return MakeNetwMessage(nwmt_status, PayloadBuffer::CopyOf(p1.bytes()));
}

std::optional<Announcement> ReadAnnouncement(const netw_message_t& message) {
  ByteReader r(message.part2.span());
  uint32_t kind = 0;
  Announcement a;
  if (!r.U32(kind) || !r.U16(a.port) || !r.Utf16z(a.address)) return std::nullopt;
  if (message.part2.size() != 6 + 2 * (a.address.size() + 1)) return std::nullopt;
  return a;
}

std::optional<TriggerRequestRecord> ReadTriggerRequestRecord(std::span<const uint8_t> part2) {
  ByteReader r(part2);
  TriggerRequestRecord t;
  if (!r.U32(t.version)) return std::nullopt;
  if (t.version == 0) return t;
  uint32_t length = 0;
  if (!r.U32(t.value) || !r.Utf16z(t.text) || !ReadRecord(r, t.event) || !r.U32(length) ||
      length > r.remaining())
    return std::nullopt;
  t.data.resize(length);
  if (!r.Bytes(t.data.data(), length)) return std::nullopt;
  if (t.version >= 2 && !r.Utf16z(t.trigger_name)) return std::nullopt;
  return t;
}

PayloadBuffer WriteTriggerReply(const TriggerRequestRecord& request, const EventRecord& event) {
  // The trigger name is always written, so the reply says version 2 (a reader that goes by the
  // version finds every field it reads).
  ByteWriter w;
  w.U32(2);
  w.U32(request.value);
  w.Utf16z(request.text);
  WriteRecord(w, event);
  w.U32(static_cast<uint32_t>(request.data.size()));
  w.Bytes(request.data.data(), request.data.size());
  w.Utf16z(request.trigger_name);
  return PayloadBuffer::CopyOf(w.bytes());
}

std::optional<bool> ReadBlankRequest(std::span<const uint8_t> part2) {
  ByteReader r(part2);
  uint32_t presence = 0, blank = 0, length = 0;
  std::u16string text;
  if (!r.U32(presence)) return std::nullopt;
  if (presence == 0) return false;
  if (!r.U32(blank) || !r.Utf16z(text) || !r.U32(length) || !r.Skip(length)) return std::nullopt;
  return blank != 0;
}

}  // namespace vorla
