// What the recording server sends and reads, as pure functions over messages: the answers to a
// new session and a new segment, the status messages, the readers of the workstation's requests,
// and the checking and deciphering of one frame.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/payload_buffer.h"
#include "net/netw_message.h"
#include "net/server_records.h"

namespace vorla::recsrv {

// nwmt_ws_sessioninfo: part 1 the 32-bit size of part 2 (the workstation does not read it),
// part 2 the session record.
netw_message_t BuildSessionInfoAnswer(const SessionRecord& session);
// nwmt_ws_segmentinfo: part 1 the 32-bit size of part 2, part 2 the segment record.
netw_message_t BuildSegmentInfoAnswer(const SegmentRecord& segment);
// nwmt_status: part 1 the kind and the value.
netw_message_t BuildStatusMessage(uint32_t kind, uint32_t value);

// nwmt_ws_newsession: the session record (within the size part 1 announces) and the rule count
// at the start of the rule block. False when the message is malformed.
bool ReadNewSession(const netw_message_t& m, SessionRecord& session, uint32_t& rule_count);
// nwmt_ws_newsegment: the segment record from part 2.
bool ReadNewSegment(const netw_message_t& m, SegmentRecord& segment);
// nwmt_ws_closesession / nwmt_ws_closesegment: the record is part 1.
bool ReadClosedSession(const netw_message_t& m, SessionRecord& session);
bool ReadClosedSegment(const netw_message_t& m, SegmentRecord& segment);
// nwmt_ws_eventinfo: the begin flag from part 1, the event record from part 2.
bool ReadEventInfo(const netw_message_t& m, bool& begins, EventRecord& event);
bool ReadRegistration(const netw_message_t& m, RegistrationRecord& r);

struct WsStatus {
  uint32_t status_word = 0;
  uint32_t status_code = 0;
  std::optional<SessionRecord> session;  // part 2 when present
};
bool ReadWsStatus(const netw_message_t& m, WsStatus& out);
// The status word as words ("standby", "session", "recording", ...).
std::string StatusWordText(uint32_t word);

// The lines both tools print for what every workstation link carries: a status message
// (type 2), a registration, a workstation status.
std::string DescribeStatusMessage(const netw_message_t& m);
std::string DescribeRegistration(const RegistrationRecord& r);
std::string DescribeWsStatus(const WsStatus& s);

// The frame key of a session: MD5 of the password's UTF-16LE code units (no terminator). Empty
// when the password is empty or the digest cannot be made.
PayloadBuffer FrameKeyFromPassword(const std::u16string& password);

struct FrameResult {
  // The frame as the compressor made it (or as it came, see below): a view of the data or of the
  // scratch buffer, valid while both are unchanged.
  std::span<const uint8_t> plain;
  bool enciphered = false;  // the header says the data is enciphered
  bool deciphered = false;  // ... and it was deciphered with the key
  bool digest_checked = false;
  bool digest_ok = false;
};
// Deciphers `data` when the header says it is enciphered and `key` is not empty, then checks the
// digest when the header says it is valid. Enciphered data without a key is passed on as it came
// and its digest is not checked (it cannot be). Deciphered bytes go into `scratch`, which the
// caller keeps from frame to frame: a fresh buffer per frame costs more than the deciphering.
FrameResult CheckFrame(const FrameHeader& header, std::span<const uint8_t> data,
                       const PayloadBuffer& key, std::vector<uint8_t>& scratch);

}  // namespace vorla::recsrv
