#include "server_messages.h"

#include <cstring>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "security/hc128.h"
#include "security/security_server.h"
#include "tool_text.h"

namespace vorla::recsrv {

namespace {

PayloadBuffer ToBuffer(const ByteWriter& w) { return PayloadBuffer::CopyOf(w.bytes()); }

PayloadBuffer SizeWord(size_t size) {
  ByteWriter w;
  w.U32(static_cast<uint32_t>(size));
  return ToBuffer(w);
}

// A deciphering buffer larger than this is given back once frames get much smaller.
constexpr size_t kScratchKeepBytes = 4 << 20;

}  // namespace

netw_message_t BuildSessionInfoAnswer(const SessionRecord& session) {
  ByteWriter record;
  WriteRecord(record, session);
  return MakeNetwMessage(nwmt_ws_sessioninfo, SizeWord(record.size()), ToBuffer(record));
}

netw_message_t BuildSegmentInfoAnswer(const SegmentRecord& segment) {
  ByteWriter record;
  WriteRecord(record, segment);
  return MakeNetwMessage(nwmt_ws_segmentinfo, SizeWord(record.size()), ToBuffer(record));
}

netw_message_t BuildStatusMessage(uint32_t kind, uint32_t value) {
  ByteWriter w;
  w.U32(kind);
  w.U32(value);
  return MakeNetwMessage(nwmt_status, ToBuffer(w));
}

bool ReadNewSession(const netw_message_t& m, SessionRecord& session, uint32_t& rule_count) {
  ByteReader sizes(m.part1.span());
  uint32_t record_size = 0, rules_size = 0;
  if (!sizes.U32(record_size) || !sizes.U32(rules_size)) return false;
  ByteReader part2(m.part2.span());
  ByteReader record = part2.Sub(record_size);
  if (record.failed() || !ReadRecord(record, session)) return false;
  rule_count = 0;
  // The rule block is kept opaque here; its count tells how many rules came.
  ByteReader rules = part2.Sub(rules_size);
  if (rules_size >= 4 && !rules.U32(rule_count)) return false;
  return true;
}

bool ReadNewSegment(const netw_message_t& m, SegmentRecord& segment) {
  ByteReader part2(m.part2.span());
  return ReadRecord(part2, segment);
}

bool ReadClosedSession(const netw_message_t& m, SessionRecord& session) {
  ByteReader part1(m.part1.span());
  return ReadRecord(part1, session);
}

bool ReadClosedSegment(const netw_message_t& m, SegmentRecord& segment) {
  ByteReader part1(m.part1.span());
  return ReadRecord(part1, segment);
}

bool ReadEventInfo(const netw_message_t& m, bool& begins, EventRecord& event) {
  ByteReader part1(m.part1.span());
  uint8_t flag = 0;
  if (!part1.U8(flag)) return false;
  begins = flag != 0;
  ByteReader part2(m.part2.span());
  return ReadRecord(part2, event);
}

bool ReadRegistration(const netw_message_t& m, RegistrationRecord& r) {
  ByteReader part1(m.part1.span());
  return ReadRecord(part1, r);
}

bool ReadWsStatus(const netw_message_t& m, WsStatus& out) {
  ByteReader part1(m.part1.span());
  uint32_t presence = 0;
  if (!part1.U32(presence) || !part1.U32(out.status_word) || !part1.U32(out.status_code))
    return false;
  out.session.reset();
  if (!m.part2.empty()) {
    ByteReader part2(m.part2.span());
    SessionRecord s;
    if (!ReadRecord(part2, s)) return false;
    if (s.presence != 0) out.session = s;
  }
  return true;
}

std::string StatusWordText(uint32_t word) {
  if (word == 0x1001) return "standby";
  struct Bit {
    uint32_t bit;
    const char* name;
  };
  static constexpr Bit kBits[] = {{0x1, "up"},
                                  {0x2, "session"},
                                  {0x4, "recording"},
                                  {0x10, "start-failed"},
                                  {0x20, "codec-failed"},
                                  {0x40, "desktop-lost"},
                                  {0x200, "blanked"},
                                  {0x400, "remote-desktop"}};
  std::string s;
  uint32_t rest = word;
  for (const Bit& b : kBits) {
    if (word & b.bit) {
      if (!s.empty()) s += ',';
      s += b.name;
      rest &= ~b.bit;
    }
  }
  if (rest != 0) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%s0x%X", s.empty() ? "" : ",", rest);
    s += buf;
  }
  return s.empty() ? "none" : s;
}

std::string DescribeStatusMessage(const netw_message_t& m) {
  ByteReader r(m.part1.span());
  uint32_t kind = 0, value = 0;
  if (!r.U32(kind) || !r.U32(value)) return "malformed status message ignored";
  return "status kind " + std::to_string(kind) + " value " + tools::Hex32(value) +
         (kind == kStatusKindShutdown ? " (workstation shutting down)" : "");
}

std::string DescribeRegistration(const RegistrationRecord& r) {
  return "registered workstation " + tools::Shown(r.workstation_name) + " address " +
         tools::Dotted(r.workstation_address);
}

std::string DescribeWsStatus(const WsStatus& s) {
  return "workstation status " + tools::Hex32(s.status_word) + " [" +
         StatusWordText(s.status_word) + "] code " + tools::Hex32(s.status_code) +
         (s.session ? " session " + tools::Shown(s.session->session_id) + " user " +
                          tools::Shown(s.session->user_name)
                    : std::string());
}

PayloadBuffer FrameKeyFromPassword(const std::u16string& password) {
  if (password.empty()) return {};
  ByteWriter units;
  for (char16_t c : password) units.U16(static_cast<uint16_t>(c));
  PayloadBuffer key;
  if (!SecurityServer::Instance().DeriveKey(key, units.bytes().data(),
                                            static_cast<uint32_t>(units.size())))
    return {};
  return key;
}

FrameResult CheckFrame(const FrameHeader& header, std::span<const uint8_t> data,
                       const PayloadBuffer& key, std::vector<uint8_t>& scratch) {
  FrameResult r;
  r.plain = data;
  r.enciphered = (header.frame_flags & kFrameFlagEnciphered) != 0;
  if (r.enciphered) {
    if (key.empty()) return r;
    auto state = StreamCipherCreate(key.span());
    if (!state) return r;
    // One outsized frame must not pin its buffer for the rest of the link.
    if (scratch.capacity() > kScratchKeepBytes && scratch.capacity() > 4 * data.size())
      std::vector<uint8_t>().swap(scratch);
    scratch.resize(data.size());
    if (!data.empty()) StreamCipherProcess(*state, data.data(), scratch.data(), data.size());
    r.plain = std::span<const uint8_t>(scratch.data(), data.size());
    r.deciphered = true;
  }
  if (header.frame_flags & kFrameFlagDigestValid) {
    r.digest_checked = true;
    PayloadBuffer digest;
    if (SecurityServer::Instance().Hash(r.plain.data(), static_cast<uint32_t>(r.plain.size()),
                                        digest) &&
        digest.size() >= header.digest.size()) {
      r.digest_ok = std::memcmp(digest.data(), header.digest.data(), header.digest.size()) == 0;
    }
  }
  return r;
}

}  // namespace vorla::recsrv
