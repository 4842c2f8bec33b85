// The Configurator's external requests: trigger (193), blanking (203) and live view (205). Each
// is executed, logged and sent back with its result in the first word of part 1.
#include "capture/capture_interface.h"
#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "common/format_string.h"
#include "common/logging.h"
#include "controller/workstation_controller.h"
#include "rules/rules_engine.h"

namespace vorla {
namespace {

// Part 1 of a request: result word, request word. A part 1 shorter than 8 bytes reads as a
// request word of 0.
uint32_t RequestWord(const netw_message_t& m) {
  ByteReader r(m.part1.span());
  uint32_t result = 0, word = 0;
  return r.U32(result) && r.U32(word) ? word : 0;
}

// The reply's part 1: the result, then the request word as it came. Written into a new buffer:
// the received bytes may be shared with other copies of the message.
PayloadBuffer ReplyPart1(const netw_message_t& m, Status result) {
  ByteWriter w;
  w.U32(result);
  w.U32(RequestWord(m));
  const auto rest = m.part1.span();
  if (rest.size() > 8) w.Bytes(rest.data() + 8, rest.size() - 8);
  return PayloadBuffer::CopyOf(w.bytes());
}

}  // namespace

const std::shared_ptr<SocketManager>* WorkstationController::ReplyLink() const {
  if (primary_link_->connected()) return &primary_link_;
  if (secondary_link_->connected()) return &secondary_link_;
  return nullptr;
}

void WorkstationController::OnExternalRequest(const netw_message_t& m) {
  switch (m.header.type) {
    case nwmt_cfg_trigger: OnExternalTrigger(m); break;
    case nwmt_cfg_blank: OnExternalBlank(m); break;
    case nwmt_cfg_live: OnExternalLive(m); break;
    default: break;
  }
}

void WorkstationController::OnExternalTrigger(const netw_message_t& m) {
  const uint32_t word = RequestWord(m);
  // 1. A part 2 that ends early counts as none.
  std::optional<TriggerRequestRecord> request;
  if (m.header.length2 != 0 && !m.part2.empty()) request = ReadTriggerRequestRecord(m.part2.span());
  TriggerRequestRecord record = request.value_or(TriggerRequestRecord{});
  std::u16string trigger_name =
      record.trigger_name.empty() ? std::u16string(kDefaultExtTriggerName) : record.trigger_name;
  // 2.
  EventRecord event;
  const Status status = ExternalTrigger(word, &event, trigger_name);
  netw_message_t reply = m;
  reply.part1 = ReplyPart1(m, status);
  // 3.
  if (status == 0) {
    reply.part2 = WriteTriggerReply(record, event);
    reply.header.length2 = reply.part2.size();
  }
  reply.header.length1 = reply.part1.size();
  // 4, 5.
  LogOperation(
      kStatusAuditMsg,
      FormatString(u"Received External Trigger Request [%s] from %s. Res = 0x%x, "
                   u"eventID = %s.",
                   word != 0 ? u"START" : u"STOP", trigger_name, status, record.event.event_id),
      EVENTLOG_INFORMATION_TYPE, 4);
  if (status != 0)
    LogStatus(status,
              FormatString(u"WorkstationController: External trigger request from %s failed.",
                           trigger_name),
              EVENTLOG_WARNING_TYPE, 2);
  // 6.
  if (const auto* link = ReplyLink()) {
    const uint32_t sent = (*link)->Send(reply, true);
    LogOperation(kStatusAuditMsg,
                 FormatString(u"External Trigger Request - Cfg send res = 0x%x", sent),
                 EVENTLOG_INFORMATION_TYPE, 4);
  } else {
    LogOperation(kStatusAuditMsg, u"External Trigger Request - No config link to send to!.",
                 EVENTLOG_INFORMATION_TYPE, 4);
  }
}

void WorkstationController::OnExternalLive(const netw_message_t& m) {
  const bool start = RequestWord(m) != 0;
  Status result = kStatusInternalError;
  if (session_user_.empty()) {
    result = kStatusNoActiveRecordingSession;
  } else if (start) {
    if (IsCaptureRunning()) {
      SetLiveView(live_view_on_ + 1);
      result = 0;
    } else {
      CaptureFormat f;
      f.frame_rate = 1;
      f.max_queued_frames = 25;
      f.codec_fcc = settings_.AssignedFCC;
      f.quality = 60;
      const int32_t options = CaptureOptions();
      // The live copy is switched on before the capture starts, so its first frame goes out too.
      SetCaptureLiveCopy(true);
      result = StartCapture(f, options, &recording_queue_, settings_.BlankingText,
                            settings_.LostText, &live_queue_, false, settings_.screen_list);
      SetLiveView(result == 0 ? live_view_on_ + 1 : live_view_on_);
    }
  } else {
    result = 0;
    if (live_view_on_ > 0) SetLiveView(live_view_on_ - 1);
    if (live_view_on_ == 0 && recording_request_count_ == 0) {
      StopCapture();
      recording_queue_.Clear();
      live_queue_.Clear();
    }
  }
  LogAndReply(m, result,
              FormatString(u"Received External Live Request [%s]. Res = 0x%x.",
                           start ? u"START" : u"STOP", result),
              u"WorkstationController: External live request failed.");
}

void WorkstationController::OnExternalBlank(const netw_message_t& m) {
  // 1. Absent, cut short or presence 0: unblank.
  bool blank = false;
  if (m.header.length2 != 0 && !m.part2.empty())
    blank = ReadBlankRequest(m.part2.span()).value_or(false);
  Status result = kStatusInternalError;
  if (!session_user_.empty()) {
    // 2.
    if (blank) {
      ++blank_count_;
    } else if (blank_count_ > 0) {
      --blank_count_;
    }
    SetCaptureBlank(blank_count_ > 0);
    result = 0;
    last_activity_time_ = Now();
  } else {
    // 3.
    result = kStatusNoActiveRecordingSession;
  }
  LogAndReply(m, result,
              FormatString(u"Received External blanking Request [%s]. Res = 0x%x.",
                           blank ? u"BLANK" : u"UN-BLANK", result),
              u"WorkstationController: External blanking request failed.");
}

void WorkstationController::LogAndReply(const netw_message_t& m, Status result,
                                        std::u16string received, const char16_t* failed) {
  LogOperation(kStatusAuditMsg, std::move(received), EVENTLOG_INFORMATION_TYPE, 4);
  LogIfFailed(result == 0, result, failed, 2, EVENTLOG_WARNING_TYPE);
  SendReply(m, result);
}

void WorkstationController::SendReply(const netw_message_t& m, Status result) {
  netw_message_t reply = m;
  reply.part1 = ReplyPart1(m, result);
  reply.header.length1 = reply.part1.size();
  if (const auto* link = ReplyLink()) (*link)->Send(reply, true);
}

}  // namespace vorla
