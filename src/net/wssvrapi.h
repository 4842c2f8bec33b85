// WSSVRAPI: the workstation's client of one recording server. Owns the link (a new SocketManager
// per connection, so a new key pair each time), registers the workstation and turns recording
// events into server messages. NewSession and NewSegment wait up to 8 s for the answer, taken
// from the head of the link's incoming queue: callers keep to one awaiting call per link and do
// not read the queue meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/byte_writer.h"
#include "common/payload_buffer.h"
#include "common/status_codes.h"
#include "net/netw_message.h"
#include "net/server_records.h"
#include "net/socket_manager.h"
#include "net/thread_safe_queue.h"
#include "rules/rule_set.h"

namespace vorla {

class WSSVRAPI {
 public:
  static constexpr uint32_t kAnswerWaitMs = 8000;

  WSSVRAPI() = default;
  virtual ~WSSVRAPI();
  WSSVRAPI(const WSSVRAPI&) = delete;
  WSSVRAPI& operator=(const WSSVRAPI&) = delete;

  // 0, or 0xC0000FA2 when no link could be opened.
  Status Connect(const std::u16string& server_name, uint16_t port,
                 const std::u16string& workstation_name, uint32_t workstation_address);
  // Sends the disconnect notice when connected, then drops the link.
  void Close();
  bool IsConnected() const;
  // The link's incoming queue; nullptr while closed.
  ThreadSafeQueue<netw_message_t>* Incoming();

  Status NewSession(SessionRecord& session, const RuleList& rules);
  Status NewSegment(SegmentRecord& segment);
  void CloseSegment(const SegmentRecord& segment);
  void CloseSession(const SessionRecord& session);
  uint32_t EventInfo(const EventRecord& event, bool begins);
  Status SegmentData(const PayloadBuffer& frame_data, const FrameHeader& header);
  uint32_t Forward(const netw_message_t& message);

  const std::u16string& server_name() const { return server_name_; }
  // The link, for tests and diagnostics.
  std::shared_ptr<SocketManager> link() const { return link_; }

 private:
  bool Linked() const { return link_ && link_->connected(); }

  std::shared_ptr<SocketManager> link_;
  std::u16string server_name_;
};

// The message bodies (pure; used by WSSVRAPI and by tests and peers).
netw_message_t BuildRegisterMessage(const RegistrationRecord& r);
// False when a rule cannot give the size of, or cannot write, its written form.
bool BuildNewSessionMessage(const SessionRecord& session, const RuleList& rules,
                            netw_message_t& out);
netw_message_t BuildNewSegmentMessage(const SegmentRecord& segment);
netw_message_t BuildEventInfoMessage(const EventRecord& event, bool begins);
netw_message_t BuildSegmentDataMessage(const PayloadBuffer& frame_data, const FrameHeader& h);

// Reading the answers: 0 with the record taken, or the status the operation returns.
Status ReadSessionAnswer(const netw_message_t& answer, SessionRecord& session);
// `now_ms`: the default start and end times for an answer whose record is absent.
Status ReadSegmentAnswer(const netw_message_t& answer, uint64_t now_ms, SegmentRecord& segment);

}  // namespace vorla
