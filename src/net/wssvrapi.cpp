#include "net/wssvrapi.h"

#include "common/format_string.h"
#include "common/host_identity.h"
#include "common/logging.h"
#include "platform/clock.h"

namespace vorla {
namespace {

PayloadBuffer ToBuffer(const ByteWriter& w) { return PayloadBuffer::CopyOf(w.bytes()); }

template <class R>
PayloadBuffer RecordBuffer(const R& r) {
  ByteWriter w;
  WriteRecord(w, r);
  return ToBuffer(w);
}

PayloadBuffer Words(std::initializer_list<uint32_t> words) {
  ByteWriter w;
  for (uint32_t v : words) w.U32(v);
  return ToBuffer(w);
}

// The status kind and value of an nwmt_status answer; false when part 1 holds less.
bool StatusOf(const netw_message_t& m, uint32_t& kind, uint32_t& value) {
  if (m.header.type != nwmt_status) return false;
  ByteReader r(m.part1.span());
  return r.U32(kind) && r.U32(value);
}

uint64_t NowWholeSecondsMs() {
  return static_cast<uint64_t>(platform::GetClock().WallSeconds()) * 1000;
}

}  // namespace

netw_message_t BuildRegisterMessage(const RegistrationRecord& r) {
  return MakeNetwMessage(nwmt_ws_register, RecordBuffer(r));
}

bool BuildNewSessionMessage(const SessionRecord& session, const RuleList& rules,
                            netw_message_t& out) {
  size_t rules_size = 4;
  for (const auto& rule : rules) {
    size_t n = 0;
    if (!rule || !rule->Write(nullptr, n)) return false;
    rules_size += n;
  }
  const size_t record_size = RecordSize(session);
  if (record_size + rules_size > UINT32_MAX) return false;
  ByteWriter w;
  WriteRecord(w, session);
  w.U32(static_cast<uint32_t>(rules.size()));
  for (const auto& rule : rules) {
    size_t n = 0;
    if (!rule->Write(&w, n)) return false;
  }
  if (w.size() != record_size + rules_size) return false;
  out = MakeNetwMessage(
      nwmt_ws_newsession,
      Words({static_cast<uint32_t>(record_size), static_cast<uint32_t>(rules_size)}), ToBuffer(w));
  return true;
}

netw_message_t BuildNewSegmentMessage(const SegmentRecord& segment) {
  return MakeNetwMessage(nwmt_ws_newsegment, Words({static_cast<uint32_t>(RecordSize(segment))}),
                         RecordBuffer(segment));
}

netw_message_t BuildEventInfoMessage(const EventRecord& event, bool begins) {
  const uint8_t flag = begins ? 1 : 0;
  return MakeNetwMessage(nwmt_ws_eventinfo, PayloadBuffer::CopyOf({&flag, 1}), RecordBuffer(event));
}

netw_message_t BuildSegmentDataMessage(const PayloadBuffer& frame_data, const FrameHeader& h) {
  const auto bytes = WriteFrameHeader(h);
  return MakeNetwMessage(nwmt_ws_segmentdata, PayloadBuffer::CopyOf(bytes), frame_data);
}

Status ReadSessionAnswer(const netw_message_t& answer, SessionRecord& session) {
  if (answer.header.type == nwmt_ws_sessioninfo) {
    ByteReader r(answer.part2.span());
    SessionRecord got;
    if (!ReadRecord(r, got) || got.presence == 0) return kStatusServerResponseTimeout;
    session = std::move(got);
    return 0;
  }
  uint32_t kind = 0, value = 0;
  if (StatusOf(answer, kind, value) && kind == kStatusKindSessionRefused) return value;
  return kStatusServerResponseTimeout;
}

Status ReadSegmentAnswer(const netw_message_t& answer, uint64_t now_ms, SegmentRecord& segment) {
  if (answer.header.type == nwmt_ws_segmentinfo) {
    SegmentRecord got;
    got.start_time = now_ms;
    got.end_time = now_ms;
    ByteReader r(answer.part2.span());
    if (!ReadRecord(r, got)) return kStatusServerResponseTimeout;
    segment.segment_id = got.segment_id;
    segment.start_time = got.start_time;
    segment.end_time = got.end_time;
    segment.frame_rate = got.frame_rate;
    segment.x = got.x;
    segment.y = got.y;
    segment.width = got.width;
    segment.height = got.height;
    segment.codec_fcc = got.codec_fcc;
    segment.quality = got.quality;
    segment.reserved1 = got.reserved1;
    segment.reserved2 = got.reserved2;
    segment.segment_text1 = got.segment_text1;
    segment.segment_text2 = got.segment_text2;
    return 0;
  }
  uint32_t kind = 0, value = 0;
  if (StatusOf(answer, kind, value) && kind == kStatusKindSegmentRefused) return value;
  return kStatusServerResponseTimeout;
}

WSSVRAPI::~WSSVRAPI() { Close(); }

Status WSSVRAPI::Connect(const std::u16string& server_name, uint16_t port,
                         const std::u16string& workstation_name, uint32_t workstation_address) {
  Close();
  server_name_ = server_name;
  const uint32_t address = ResolveHostIPv4(server_name);
  auto link = std::make_shared<SocketManager>();
  const Status s = link->Connect(address, port);
  if (s != 0) return s;
  link_ = std::move(link);
  RegistrationRecord reg;
  reg.workstation_name = workstation_name;
  reg.workstation_address = workstation_address;
  link_->Send(BuildRegisterMessage(reg), true);
  return 0;
}

void WSSVRAPI::Close() {
  if (Linked()) link_->Send(MakeNetwMessage(nwmt_ws_disconnect), true);
  link_.reset();
}

bool WSSVRAPI::IsConnected() const { return Linked(); }

ThreadSafeQueue<netw_message_t>* WSSVRAPI::Incoming() {
  return link_ ? &link_->incoming() : nullptr;
}

Status WSSVRAPI::NewSession(SessionRecord& session, const RuleList& rules) {
  if (!Linked()) return kStatusNoActiveConnection;
  session.presence = 1;
  netw_message_t m;
  if (!BuildNewSessionMessage(session, rules, m)) return kStatusSessionError;
  const uint32_t sent = link_->Send(std::move(m), true);
  if (sent != 0) {
    LogIfFailed(false, kStatusTcpSendError,
                FormatString(u"WSSVRAPI: Failed to Send socket message (nwmt_ws_newsession)to %s. "
                             u"SendRes = %d",
                             server_name_, sent),
                2, EVENTLOG_ERROR_TYPE);
    return kStatusTcpSendError;
  }
  netw_message_t answer;
  if (!link_->incoming().PopWithin(answer, kAnswerWaitMs)) return kStatusServerResponseTimeout;
  return ReadSessionAnswer(answer, session);
}

Status WSSVRAPI::NewSegment(SegmentRecord& segment) {
  if (!Linked()) return kStatusNoActiveConnection;
  segment.presence = 1;
  const uint32_t sent = link_->Send(BuildNewSegmentMessage(segment), true);
  if (sent != 0) {
    LogIfFailed(false, kStatusTcpSendError,
                FormatString(u"WSSVRAPI: Failed to Send socket message (nwmt_ws_newsegment)to %s. "
                             u"SendRes = %d",
                             server_name_, sent),
                2, EVENTLOG_ERROR_TYPE);
    return kStatusTcpSendError;
  }
  netw_message_t answer;
  if (!link_->incoming().PopWithin(answer, kAnswerWaitMs)) return kStatusServerResponseTimeout;
  return ReadSegmentAnswer(answer, NowWholeSecondsMs(), segment);
}

void WSSVRAPI::CloseSegment(const SegmentRecord& segment) {
  if (!Linked()) return;
  if (link_->Send(MakeNetwMessage(nwmt_ws_closesegment, RecordBuffer(segment)), true) != 0) {
    LogIfFailed(false, kStatusTcpSendError,
                u"WSSVRAPI: Failed to Send socket message (nwmt_ws_closesegment)", 2,
                EVENTLOG_ERROR_TYPE);
  }
}

void WSSVRAPI::CloseSession(const SessionRecord& session) {
  if (!Linked()) return;
  if (link_->Send(MakeNetwMessage(nwmt_ws_closesession, RecordBuffer(session)), true) != 0) {
    LogIfFailed(false, kStatusTcpSendError,
                u"WSSVRAPI: Failed to Send socket message (nwmt_ws_closesession)", 2,
                EVENTLOG_ERROR_TYPE);
  }
}

uint32_t WSSVRAPI::EventInfo(const EventRecord& event, bool begins) {
  if (!Linked()) return kStatusNoActiveConnection;
  const uint32_t sent = link_->Send(BuildEventInfoMessage(event, begins), true);
  if (sent != 0) {
    LogIfFailed(false, kStatusTcpSendError,
                FormatString(u"WSSVRAPI: Failed to Send socket message (nwmt_ws_eventinfo)to %s",
                             server_name_),
                2, EVENTLOG_ERROR_TYPE);
  }
  return sent;
}

Status WSSVRAPI::SegmentData(const PayloadBuffer& frame_data, const FrameHeader& header) {
  if (!Linked()) return kStatusNoActiveConnection;
  const uint32_t sent = link_->Send(BuildSegmentDataMessage(frame_data, header), true);
  if (sent != 0) {
    LogIfFailed(false, kStatusTcpSendError,
                FormatString(u"WSSVRAPI: Failed to Send socket message (nwmt_ws_segmentdata)to "
                             u"%s. SendRes = %d",
                             server_name_, sent),
                2, EVENTLOG_ERROR_TYPE);
    return kStatusTcpSendError;
  }
  return 0;
}

uint32_t WSSVRAPI::Forward(const netw_message_t& message) {
  if (!Linked()) return kStatusNoActiveConnection;
  return link_->Send(message, true);
}

}  // namespace vorla
