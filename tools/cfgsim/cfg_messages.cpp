#include "cfg_messages.h"

#include <cstdio>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "common/text.h"

namespace vorla::cfgsim {

std::optional<std::string> DescribeCapabilities(const netw_message_t& m) {
  ByteReader p1(m.part1.span());
  uint32_t one = 0;
  uint8_t major = 0, minor = 0;
  uint16_t zero = 0;
  if (!p1.U32(one) || !p1.U8(major) || !p1.U8(minor) || !p1.U16(zero)) return std::nullopt;
  std::string line = "capabilities: program " + std::to_string(major & 0x7F) + "." +
                     std::to_string(minor) + ((major & 0x80) ? " (remote-desktop session)" : "");
  ByteReader r(m.part2.span());
  uint32_t two = 0, count = 0;
  uint64_t memory = 0;
  if (!r.U32(two) || !r.U64(memory) || !r.U32(count)) return std::nullopt;
  line += ", memory " + std::to_string(memory / (1024 * 1024)) + " MiB, " + std::to_string(count) +
          " codecs:";
  // Each entry takes at least 14 bytes and the list is followed by a closing uint32; a count
  // beyond what the bytes can hold is malformed.
  if (r.remaining() < 4 || count > (r.remaining() - 4) / 14) return std::nullopt;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t handler = 0, type = 0;
    std::u16string description, driver, name;
    if (!r.U32(handler) || !r.U32(type) || !r.Utf16z(description) || !r.Utf16z(driver) ||
        !r.Utf16z(name))
      return std::nullopt;
    line += (i ? ", " : " ") + FccText(handler) + "/" + FccText(type) + " " + Shown(name) + " " +
            Shown(description) + " " + Shown(driver);
  }
  // The closing uint32 0: a report cut before it is incomplete.
  uint32_t closing = 0;
  if (!r.U32(closing)) return std::nullopt;
  return line;
}

netw_message_t BuildTriggerRequest(const TriggerRequest& t) {
  ByteWriter p1;
  p1.U32(0);
  p1.U32((t.start ? 1u : 0u) | (t.start && t.blank ? 2u : 0u));
  PayloadBuffer part2;
  if (t.with_record) {
    ByteWriter w;
    w.U32(t.version);
    if (t.version != 0) {
      w.U32(t.value);
      w.Utf16z(t.text);
      WriteRecord(w, t.event);
      w.U32(static_cast<uint32_t>(t.data.size()));
      w.Bytes(t.data.data(), t.data.size());
      if (t.version >= 2) w.Utf16z(t.trigger_name);
    }
    part2 = PayloadBuffer::CopyOf(w.bytes());
  }
  return MakeNetwMessage(nwmt_cfg_trigger, PayloadBuffer::CopyOf(p1.bytes()), std::move(part2));
}

netw_message_t BuildBlankRequest(bool blank, const std::u16string& text,
                                 const std::vector<uint8_t>& data) {
  ByteWriter p1;
  p1.U32(0);
  p1.U32(0);
  ByteWriter w;
  w.U32(1);
  w.U32(blank ? 1 : 0);
  w.Utf16z(text);
  w.U32(static_cast<uint32_t>(data.size()));
  w.Bytes(data.data(), data.size());
  return MakeNetwMessage(nwmt_cfg_blank, PayloadBuffer::CopyOf(p1.bytes()),
                         PayloadBuffer::CopyOf(w.bytes()));
}

netw_message_t BuildLiveRequest(bool start) {
  ByteWriter p1;
  p1.U32(0);
  p1.U32(start ? 1 : 0);
  return MakeNetwMessage(nwmt_cfg_live, PayloadBuffer::CopyOf(p1.bytes()));
}

netw_message_t BuildClosingStatus() {
  ByteWriter p1;
  p1.U32(kStatusKindShutdown);
  p1.U32(0);
  return MakeNetwMessage(nwmt_status, PayloadBuffer::CopyOf(p1.bytes()));
}

std::optional<std::string> DescribeRequestAnswer(const netw_message_t& m) {
  ByteReader p1(m.part1.span());
  uint32_t result = 0, word = 0;
  if (m.part1.size() != 8 || !p1.U32(result) || !p1.U32(word)) return std::nullopt;
  std::string line;
  switch (m.header.type) {
    case nwmt_cfg_trigger: {
      line = std::string("trigger answer: ") + ((word & 1) ? "START" : "STOP") +
             ((word & 3) == 3 ? "+BLANK" : "") + " result " + Hex32(result);
      if (m.part2.empty()) {
        line += ", no record";
        break;
      }
      ByteReader r(m.part2.span());
      uint32_t version = 0, value = 0, length = 0;
      std::u16string text, name;
      EventRecord e;
      if (!r.U32(version)) {
        line += ", malformed record";
        break;
      }
      if (version == 0) {
        line += ", record version 0";
        break;
      }
      if (!r.U32(value) || !r.Utf16z(text) || !ReadRecord(r, e) || !r.U32(length) ||
          !r.Skip(length) || (version >= 2 && !r.Utf16z(name))) {
        line += ", malformed record (version " + std::to_string(version) + ")";
        break;
      }
      line += ", version " + std::to_string(version) + " value " + std::to_string(value) +
              " text " + Shown(text) + " event " + Shown(e.event_id) + " data " +
              std::to_string(length) + " bytes";
      if (version >= 2) line += " trigger " + Shown(name);
      break;
    }
    case nwmt_cfg_blank: line = "blanking answer: result " + Hex32(result); break;
    case nwmt_cfg_live:
      line = std::string("live-view answer: ") + (word ? "START" : "STOP") + " result " +
             Hex32(result);
      break;
    default: return std::nullopt;
  }
  return line;
}

bool ReadSessionConfigRequest(const netw_message_t& m, std::u16string& user) {
  ByteReader p1(m.part1.span());
  uint32_t one = 0;
  if (!p1.U32(one)) return false;
  ByteReader r(m.part2.span());
  return r.Utf16z(user);
}

bool BuildSessionConfigAnswer(const RuleSet& rules, netw_message_t& out) {
  std::vector<uint8_t> rule_bytes;
  if (!rules.Write(rule_bytes)) return false;
  ByteWriter p1;
  p1.U32(0xFFFFFFFF);
  ByteWriter w;
  w.U32(3);
  w.Utf16z(u"");
  w.Utf16z(u"");
  w.U16(0);
  w.Bytes(rule_bytes.data(), rule_bytes.size());
  w.Utf16z(u"");
  w.Utf16z(u"");
  out = MakeNetwMessage(nwmt_cfg_sessionconfig, PayloadBuffer::CopyOf(p1.bytes()),
                        PayloadBuffer::CopyOf(w.bytes()));
  return true;
}

netw_message_t BuildSessionConfigRefusal(uint32_t refusal_word) {
  ByteWriter p1;
  p1.U32(refusal_word);
  ByteWriter w;
  w.U32(1);
  w.Utf16z(u"");
  w.Utf16z(u"");
  w.U16(0);
  w.U32(0);  // an empty rule set
  return MakeNetwMessage(nwmt_cfg_sessionconfig, PayloadBuffer::CopyOf(p1.bytes()),
                         PayloadBuffer::CopyOf(w.bytes()));
}

std::optional<std::vector<uint8_t>> BuildAnnouncement(uint32_t kind, uint16_t port,
                                                      const std::u16string& address) {
  ByteWriter part2;
  part2.U32(kind);
  part2.U16(port);
  part2.Utf16z(address);
  if (kNetwHeaderSize + part2.size() > 512) return std::nullopt;
  netw_header h;
  h.type = nwmt_cfg_announce;
  h.length2 = static_cast<uint32_t>(part2.size());
  std::vector<uint8_t> datagram(kNetwHeaderSize);
  WriteNetwHeader(h, std::span<uint8_t, kNetwHeaderSize>(datagram.data(), kNetwHeaderSize));
  datagram.insert(datagram.end(), part2.bytes().begin(), part2.bytes().end());
  return datagram;
}

}  // namespace vorla::cfgsim
